"""call_edges and import_sources in pure Python over tree-sitter's binding.

The baseline that bench.py times velbrook against: the same rules, written the
plain way over the binding's TreeCursor, giving the same results (order,
duplicates, names) as velbrook. Each function takes a tree_sitter.Parser for
the language, then velbrook's arguments (call_edges needs no key, as the
rules hold for every grammar).
"""

FUNCTION_KINDS = frozenset((
    "program", "function", "task_body", "subroutine", "func_literal", "function_item",
    "arrow_function", "subprogram_body", "init_declaration", "module_procedure",
    "method_definition", "generator_function", "method_declaration", "function_definition",
    "function_expression", "function_declaration", "constructor_declaration",
    "local_function_statement", "generator_function_declaration",
    "expression_function_declaration"))
NAMED_BY_FIELD = frozenset((
    "function_item", "method_definition", "generator_function", "method_declaration",
    "constructor_declaration", "local_function_statement", "generator_function_declaration"))
NAMED_IN_CHILD = {"function": "function_statement", "subroutine": "subroutine_statement",
                  "module_procedure": "module_procedure_statement"}
DECLARATOR_NAMES = frozenset((
    "identifier", "operator_name", "destructor_name", "field_identifier", "qualified_identifier"))
DECLARATOR_DESCENTS = frozenset(("pointer_declarator", "function_declarator"))
STATEMENT_KEYWORDS = frozenset((
    "if", "do", "for", "else", "case", "goto", "enum", "while", "break", "union", "switch",
    "return", "sizeof", "struct", "default", "typedef", "continue"))
CALLS_BY_FUNCTION = frozenset(("call_expression", "call", "invocation_expression"))
CALLS_BY_NAME = frozenset(("procedure_call_statement", "function_call", "method_invocation"))
CALL_KINDS = CALLS_BY_FUNCTION | CALLS_BY_NAME | {"object_creation_expression"}
ALIAS_KINDS = frozenset(("assignment_expression", "declaration"))
WHOLE_TEXT_CALLEES = frozenset((
    "attribute", "scoped_identifier", "member_expression", "selector_expression",
    "member_access_expression"))
NOT_CALLEES = frozenset(("call_suffix", "type_arguments", "value_arguments", "annotated_lambda"))
# The Unicode White_Space property; str.strip() without arguments also strips U+001C..U+001F.
WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007" \
              "\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
QUOTES = frozenset((("<", ">"), ("'", "'"), ('"', '"')))


def preorder(root, enter=None):
    """Every node under root, root first; a child that enter rejects is skipped whole."""
    cursor = root.walk()
    yield cursor.node
    if not cursor.goto_first_child():
        return
    while True:
        node = cursor.node
        if enter is None or enter(node):
            yield node
            if cursor.goto_first_child():
                continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return


def node_text(node, source):
    """The node's source text, or None when there is no node or its bytes are not UTF-8."""
    if node is None:
        return None
    try:
        return source[node.start_byte:node.end_byte].decode()
    except UnicodeDecodeError:
        return None


def first_child_of_type(node, kind):
    for child in node.children:
        if child.type == kind:
            return child
    return None


# --- function recognition and naming ---------------------------------------

def scan_declarators(node, terminal, descent, resolve):
    """The C declarator scan: children in order; a terminal child ends its level with
    resolve(child) when that is not None, a descent child's children are scanned
    first, and a level that runs out lets the level above go on."""
    levels = [iter(node.children)]
    while levels:
        for child in levels[-1]:
            kind = child.type
            if kind in terminal:
                name = resolve(child)
                if name is not None:
                    return name
                levels.pop()
                break
            if kind in descent:
                levels.append(iter(child.children))
                break
        else:
            levels.pop()
    return None


def declarator_name(node, source):
    return scan_declarators(node, DECLARATOR_NAMES, DECLARATOR_DESCENTS,
                            lambda child: node_text(child, source))


def c_name(node, source):
    return scan_declarators(node, ("function_declarator",), ("pointer_declarator",),
                            lambda child: declarator_name(child, source))


def name_field(node, source):
    return node_text(node.child_by_field_name("name"), source)


def assignment_context_name(node, source):
    parent = node.parent
    kind = None if parent is None else parent.type
    if kind == "pair":
        return node_text(parent.child_by_field_name("key"), source)
    if kind == "variable_declarator" or kind == "public_field_definition":
        return name_field(parent, source)
    return None


def lua_assignment_name(node, source):
    parent = node.parent
    kind = None if parent is None else parent.type
    if kind == "field":
        for child in parent.named_children:
            if child.type == "identifier":
                return node_text(child, source)
        return None
    if kind != "expression_list":
        return None
    for index, value in enumerate(parent.named_children):
        if value == node:
            break
    else:
        return None
    statement = parent.parent
    if statement is None or statement.type != "assignment_statement":
        return None
    variables = first_child_of_type(statement, "variable_list")
    if variables is None or index >= variables.named_child_count:
        return None
    target = variables.named_child(index)
    return node_text(target, source) if target.type == "identifier" else None


def function_name(node, source):
    kind = node.type
    if kind in NAMED_BY_FIELD:
        return name_field(node, source)
    if kind == "function_definition":
        name = name_field(node, source)
        if name is None:
            name = c_name(node, source)
        return lua_assignment_name(node, source) if name is None else name
    if kind == "function_declaration":
        name = name_field(node, source)
        if name is None:
            name = node_text(first_child_of_type(node, "simple_identifier"), source)
        return name
    if kind == "arrow_function":
        return assignment_context_name(node, source)
    if kind == "function_expression":
        name = name_field(node, source)
        return assignment_context_name(node, source) if name is None else name
    if kind in NAMED_IN_CHILD:
        child = first_child_of_type(node, NAMED_IN_CHILD[kind])
        return None if child is None else name_field(child, source)
    if kind == "program":
        statement = first_child_of_type(node, "program_statement")
        if statement is None:
            return None
        name = node_text(statement.named_child(0), source) if statement.named_child_count else None
        return "program" if name is None else name
    if kind == "subprogram_body" or kind == "expression_function_declaration":
        for child in node.children:
            if child.type in ("procedure_specification", "function_specification"):
                return name_field(child, source)
        return None
    if kind == "task_body":
        return node_text(first_child_of_type(node, "identifier"), source)
    if kind == "func_literal":
        return None
    if kind == "init_declaration":
        return "init"
    return c_name(node, source)


# --- call edges -------------------------------------------------------------

def has_parenthesized_declarator(node):
    declarator = node.child_by_field_name("declarator")
    return declarator is not None and declarator.type == "parenthesized_declarator"


def is_function_pointer(declarator):
    kinds = set()
    for node in preorder(declarator):
        kind = node.type
        if kind == "function_declarator" or kind == "pointer_declarator":
            kinds.add(kind)
            if len(kinds) == 2:
                return True
    return False


def innermost_identifier(root, source):
    """The first identifier found trying a node's "declarator" field before its children."""
    stack = [root]
    while stack:
        node = stack.pop()
        if node.type == "identifier":
            name = node_text(node, source)
            if name is not None:
                return name
            continue
        declarator = node.child_by_field_name("declarator")
        stack.extend(child for child in reversed(node.children) if child != declarator)
        if declarator is not None:
            stack.append(declarator)
    return None


def target_name(node, source):
    while node is not None:
        kind = node.type
        if kind == "cast_expression":
            node = node.child_by_field_name("value")
        elif kind == "unary_expression" or kind == "pointer_expression":
            node = node.child_by_field_name("argument")
        elif kind == "parenthesized_expression":
            node = node.named_child(0) if node.named_child_count else None
        elif kind == "identifier":
            return node_text(node, source)
        else:
            return None
    return None


def add_alias(node, kind, source, aliases):
    """Records the function-pointer aliases that an assignment or a declaration makes."""
    if kind == "assignment_expression":
        left = node.child_by_field_name("left")
        right = node.child_by_field_name("right")
        if left is None or right is None or left.type != "identifier":
            return
        variable = node_text(left, source)
        if variable in aliases:
            target = target_name(right, source)
            if target is not None:
                aliases[variable] = target
        return
    for child in node.children:
        if child.type != "init_declarator":
            continue
        declarator = child.child_by_field_name("declarator")
        if declarator is None or not is_function_pointer(declarator):
            continue
        variable = innermost_identifier(declarator, source)
        if variable is None:
            continue
        target = target_name(child.child_by_field_name("value"), source)
        if target is not None:
            aliases[variable] = target


def callee(node, kind, source):
    """(text, whether an alias may stand for it) of a call node, or None."""
    if kind in CALLS_BY_FUNCTION:
        function = node.child_by_field_name("function")
        if function is not None:
            fkind = function.type
            if fkind == "identifier":
                name = node_text(function, source)
                return None if name is None else (name, True)
            if fkind == "field_expression":
                name = node_text(function.child_by_field_name("field"), source)
            elif fkind in WHOLE_TEXT_CALLEES:
                name = node_text(function, source)
            else:
                return None
        elif kind == "call_expression":
            name = next((node_text(child, source) for child in node.named_children
                         if child.type not in NOT_CALLEES), None)
        else:
            return None
    elif kind in CALLS_BY_NAME:
        name = name_field(node, source)
    elif kind == "object_creation_expression":
        name = node_text(node.child_by_field_name("type"), source)
    else:
        return None
    return None if name is None else (name, False)


def entered_despite_error(node, source):
    kind = node.type
    if kind not in FUNCTION_KINDS:
        return True
    if kind != "function_definition":
        return False
    return has_parenthesized_declarator(node) or \
        function_name(node, source) in STATEMENT_KEYWORDS


def callees(function, source):
    """The callee texts under a listed function, in order, aliases applied.

    The alias map must be complete before any call is resolved, so calls are
    resolved after the walk. Without a parse error the calls are collected in the
    same walk as the aliases; with one, the calls' walk skips nested functions
    and so needs a walk of its own.
    """
    aliases, found = {}, []
    has_error = function.has_error
    for node in preorder(function):
        kind = node.type
        if kind in ALIAS_KINDS:
            add_alias(node, kind, source, aliases)
        elif kind in CALL_KINDS and not has_error:
            found.append(callee(node, kind, source))
    if has_error:
        found = [callee(node, node.type, source) for node in
                 preorder(function, lambda child: entered_despite_error(child, source))]
    return [aliases.get(name, name) if aliased else name for name, aliased in filter(None, found)]


def call_edges(parser, text):
    """[(caller, callee, is_external)], as velbrook.call_edges(key, text) gives them."""
    source = text.encode()
    root = parser.parse(source).root_node
    local_names, functions = set(), []
    for node in preorder(root):
        kind = node.type
        if kind in FUNCTION_KINDS:
            name = function_name(node, source)
            if name is not None:
                local_names.add(name)
                if kind != "function_definition" or not has_parenthesized_declarator(node):
                    functions.append((node, name))
        elif kind == "preproc_def" or kind == "preproc_function_def":
            name = name_field(node, source)
            if name is not None:
                local_names.add(name)
    return [(caller, name, name not in local_names)
            for function, caller in functions for name in callees(function, source)]


# --- import sources ---------------------------------------------------------

def import_text(node, source):
    """The node's text trimmed of White_Space; empty when its bytes are not UTF-8."""
    value = node_text(node, source)
    return "" if value is None else value.strip(WHITE_SPACE)


def unquote(value):
    if len(value) >= 2 and (value[0], value[-1]) in QUOTES:
        return value[1:-1]
    return value


def append_text(node, source, out, unquoted=False):
    if node is not None:
        value = import_text(node, source)
        out.append(unquote(value) if unquoted else value)


def first_named_of(node, kinds):
    for child in node.named_children:
        if child.type in kinds:
            return child
    return None


def field_rule(field, unquoted=False):
    return lambda node, source, out: append_text(
        node.child_by_field_name(field), source, out, unquoted)


def first_named_rule(kinds):
    return lambda node, source, out: append_text(first_named_of(node, kinds), source, out)


def each_named_rule(kinds):
    def rule(node, source, out):
        for child in node.named_children:
            if child.type in kinds:
                append_text(child, source, out)
    return rule


def joined_rule(parts):
    def rule(node, source, out):
        texts = [import_text(part, source) for part in parts(node)]
        if texts:
            out.append(".".join(texts))
    return rule


def php_include(node, source, out):
    if node.named_child_count:
        append_text(node.named_child(0), source, out, unquoted=True)


def lua_require(node, source, out):
    name = node.child_by_field_name("name")
    if name is None or import_text(name, source) != "require":
        return
    arguments = node.child_by_field_name("arguments")
    if arguments is not None and arguments.named_child_count:
        append_text(arguments.named_child(0), source, out, unquoted=True)


def python_import(node, source, out):
    for name in node.children_by_field_name("name"):
        if name.type == "aliased_import":
            module = name.child_by_field_name("name")
            append_text(name if module is None else module, source, out)
        else:
            append_text(name, source, out)


def csharp_using(node, source, out):
    name = node.child_by_field_name("name")
    if name is None and node.named_child_count:
        name = node.named_child(0)
    append_text(name, source, out)


C_RULES = {"preproc_include": field_rule("path", unquoted=True)}
JS_RULES = dict.fromkeys(("import_statement", "import_require_clause"),
                         field_rule("source", unquoted=True))
IMPORT_RULES = {
    "c": C_RULES,
    "cpp": C_RULES,
    "go": {"import_spec": field_rule("path", unquoted=True)},
    "php": {
        **dict.fromkeys(("include_expression", "include_once_expression", "require_expression",
                         "require_once_expression"), php_include),
        "namespace_use_clause": first_named_rule(("qualified_name", "name")),
        "namespace_use_declaration": each_named_rule(("name", "namespace_name", "qualified_name")),
    },
    "lua": {"function_call": lua_require},
    "ada": {"with_clause": each_named_rule(("selected_component", "identifier"))},
    "rust": {"use_declaration": field_rule("argument")},
    "java": {"import_declaration": each_named_rule(("scoped_identifier", "identifier"))},
    "swift": {"import_declaration": joined_rule(
        lambda node: [c for c in node.named_children if c.type == "identifier"])},
    "scala": {"import_declaration": joined_rule(
        lambda node: [c for c in node.children_by_field_name("path") if c.is_named])},
    "python": {"import_statement": python_import,
               "import_from_statement": field_rule("module_name")},
    "csharp": {"using_directive": csharp_using},
    "kotlin": {"import": first_named_rule(("qualified_identifier", "identifier"))},
    "fortran": {"use_statement": first_named_rule(("module_name",)),
                "include_statement": field_rule("path", unquoted=True)},
    "javascript": JS_RULES,
    "typescript": JS_RULES,
    "tsx": {},
}


def import_sources(parser, key, source):
    """The list velbrook.import_sources(key, source) gives, for source bytes."""
    rules = IMPORT_RULES[key]
    out = []
    for node in preorder(parser.parse(source).root_node):
        rule = rules.get(node.type)
        if rule is not None:
            rule(node, source, out)
    return out
