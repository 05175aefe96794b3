#include "calls.h"

#include <array>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "query.h"

namespace calls {

namespace {

using Name = std::optional<std::string>;

bool is_null(TSNode node) { return ts_node_is_null(node); }

Name text_of(TSNode node, std::string_view source) {
  if (is_null(node)) return std::nullopt;
  auto text = query::node_text(node, source);
  if (!text) return std::nullopt;
  return std::string(*text);
}

// First of all children whose kind equals `kind`; a null node when none.
TSNode first_child_of_kind(TSNode node, std::string_view kind) {
  for (TSNode child : query::children(node)) {
    if (query::kind(child) == kind) return child;
  }
  return TSNode{};
}

// The declarator scans of get_c_name and get_declarator_name: children are
// tested in order; a terminal child ends the scan of its level with its
// result; a descent child's own children are scanned as a nested level whose
// present result ends every enclosing scan and whose absent result lets the
// enclosing scan go on. Levels are kept on an explicit stack, so nesting
// depth costs no native stack.
template <class IsTerminal, class IsDescent, class Resolve>
Name scan_declarators(TSNode node, IsTerminal is_terminal, IsDescent is_descent,
                      Resolve resolve) {
  struct Pending {
    TSNode node;
    std::size_t level;
  };
  std::vector<Pending> stack;
  auto push_level = [&stack](TSNode parent, std::size_t level) {
    std::vector<TSNode> kids = query::children(parent);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back({*it, level});
  };
  push_level(node, 0);
  while (!stack.empty()) {
    Pending top = stack.back();
    stack.pop_back();
    std::string_view kind = query::kind(top.node);
    if (is_terminal(kind)) {
      Name result = resolve(top.node);
      if (result) return result;
      // Entries above any lower level are exactly this level's remaining
      // siblings: the stack never holds a deeper level below a shallower one.
      while (!stack.empty() && stack.back().level == top.level) stack.pop_back();
    } else if (is_descent(kind)) {
      push_level(top.node, top.level + 1);
    }
  }
  return std::nullopt;
}

Name get_declarator_name(TSNode node, std::string_view source) {
  return scan_declarators(
      node,
      [](std::string_view kind) {
        return kind == "identifier" || kind == "operator_name" || kind == "destructor_name" ||
               kind == "field_identifier" || kind == "qualified_identifier";
      },
      [](std::string_view kind) {
        return kind == "pointer_declarator" || kind == "function_declarator";
      },
      [source](TSNode child) { return text_of(child, source); });
}

// get_c_name and get_function_name_from_declarator are this one scan, over
// the children of a function node or of a pointer_declarator.
Name get_c_name(TSNode node, std::string_view source) {
  return scan_declarators(
      node, [](std::string_view kind) { return kind == "function_declarator"; },
      [](std::string_view kind) { return kind == "pointer_declarator"; },
      [source](TSNode child) { return get_declarator_name(child, source); });
}

Name name_field(TSNode node, std::string_view source) {
  return text_of(query::field(node, "name"), source);
}

Name name_in_child(TSNode node, std::string_view kind, std::string_view source) {
  TSNode child = first_child_of_kind(node, kind);
  if (is_null(child)) return std::nullopt;
  return name_field(child, source);
}

Name get_name_from_assignment_context(TSNode node, std::string_view source) {
  TSNode parent = ts_node_parent(node);
  if (is_null(parent)) return std::nullopt;
  std::string_view kind = query::kind(parent);
  if (kind == "pair") return text_of(query::field(parent, "key"), source);
  if (kind == "variable_declarator" || kind == "public_field_definition") {
    return text_of(query::field(parent, "name"), source);
  }
  return std::nullopt;
}

Name get_lua_assignment_name(TSNode node, std::string_view source) {
  TSNode parent = ts_node_parent(node);
  if (is_null(parent)) return std::nullopt;
  std::string_view kind = query::kind(parent);
  if (kind == "field") {
    for (TSNode child : query::named_children(parent)) {
      if (query::kind(child) == "identifier") return text_of(child, source);
    }
    return std::nullopt;
  }
  if (kind != "expression_list") return std::nullopt;
  std::vector<TSNode> values = query::named_children(parent);
  std::size_t index = 0;
  while (index < values.size() && !ts_node_eq(values[index], node)) ++index;
  if (index == values.size()) return std::nullopt;
  TSNode grandparent = ts_node_parent(parent);
  if (is_null(grandparent) || query::kind(grandparent) != "assignment_statement") {
    return std::nullopt;
  }
  TSNode variables = first_child_of_kind(grandparent, "variable_list");
  if (is_null(variables)) return std::nullopt;
  std::vector<TSNode> targets = query::named_children(variables);
  if (index >= targets.size() || query::kind(targets[index]) != "identifier") return std::nullopt;
  return text_of(targets[index], source);
}

Name program_name(TSNode node, std::string_view source) {
  TSNode statement = first_child_of_kind(node, "program_statement");
  if (is_null(statement)) return std::nullopt;
  Name name;
  if (ts_node_named_child_count(statement) > 0) name = text_of(ts_node_named_child(statement, 0), source);
  if (!name) name = "program";
  return name;
}

// Name of the first procedure_specification or function_specification child.
Name ada_specification_name(TSNode node, std::string_view source) {
  for (TSNode child : query::children(node)) {
    std::string_view kind = query::kind(child);
    if (kind == "procedure_specification" || kind == "function_specification") {
      return name_field(child, source);
    }
  }
  return std::nullopt;
}

}  // namespace

bool is_function_kind(std::string_view kind) {
  auto either = [kind](std::string_view a, std::string_view b = {}) {
    return kind == a || (!b.empty() && kind == b);
  };
  switch (kind.size()) {
    case 7: return either("program");
    case 8: return either("function");
    case 9: return either("task_body");
    case 10: return either("subroutine");
    case 12: return either("func_literal");
    case 13: return either("function_item");
    case 14: return either("arrow_function");
    case 15: return either("subprogram_body");
    case 16: return either("init_declaration", "module_procedure");
    case 17: return either("method_definition");
    case 18: return either("generator_function", "method_declaration");
    case 19: return either("function_definition", "function_expression");
    case 20: return either("function_declaration");
    case 23: return either("constructor_declaration");
    case 24: return either("local_function_statement");
    case 30: return either("generator_function_declaration");
    case 31: return either("expression_function_declaration");
    default: return false;
  }
}

std::optional<std::string> get_function_name(TSNode node, std::string_view source) {
  std::string_view kind = query::kind(node);
  if (kind == "program") return program_name(node, source);
  if (kind == "function") return name_in_child(node, "function_statement", source);
  if (kind == "subroutine") return name_in_child(node, "subroutine_statement", source);
  if (kind == "module_procedure") return name_in_child(node, "module_procedure_statement", source);
  if (kind == "task_body") return text_of(first_child_of_kind(node, "identifier"), source);
  if (kind == "func_literal") return std::nullopt;
  if (kind == "init_declaration") return "init";
  if (kind == "function_item" || kind == "method_definition" || kind == "generator_function" ||
      kind == "method_declaration" || kind == "constructor_declaration" ||
      kind == "local_function_statement" || kind == "generator_function_declaration") {
    return name_field(node, source);
  }
  if (kind == "arrow_function") return get_name_from_assignment_context(node, source);
  if (kind == "function_expression") {
    Name name = name_field(node, source);
    return name ? name : get_name_from_assignment_context(node, source);
  }
  if (kind == "subprogram_body" || kind == "expression_function_declaration") {
    return ada_specification_name(node, source);
  }
  if (kind == "function_declaration") {
    Name name = name_field(node, source);
    return name ? name : text_of(first_child_of_kind(node, "simple_identifier"), source);
  }
  if (kind == "function_definition") {
    if (Name name = name_field(node, source)) return name;
    if (Name name = get_c_name(node, source)) return name;
    return get_lua_assignment_name(node, source);
  }
  return get_c_name(node, source);
}

namespace {

// Transparent hashing so that lookups by string_view allocate nothing.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using NameSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;
using AliasMap = std::unordered_map<std::string, std::string, TextHash, std::equal_to<>>;

struct Function {
  TSNode node;
  std::string name;
};

bool has_parenthesized_declarator(TSNode node) {
  TSNode declarator = query::field(node, "declarator");
  return !is_null(declarator) && query::kind(declarator) == "parenthesized_declarator";
}

// Pre-order over the whole subtree, root included; `visit` sees every node.
template <class Visit>
void walk(TSNode root, Visit visit) {
  std::vector<TSNode> stack{root};
  while (!stack.empty()) {
    TSNode node = stack.back();
    stack.pop_back();
    visit(node);
    query::push_children_reversed(node, stack);
  }
}

void collect_local_names_recursive(TSNode root, std::string_view source, NameSet& names) {
  walk(root, [&](TSNode node) {
    std::string_view kind = query::kind(node);
    if (is_function_kind(kind)) {
      if (Name name = get_function_name(node, source)) names.insert(std::move(*name));
    } else if (kind == "preproc_def" || kind == "preproc_function_def") {
      if (Name name = text_of(query::field(node, "name"), source)) names.insert(std::move(*name));
    }
  });
}

void collect_functions(TSNode root, std::string_view source, std::vector<Function>& functions) {
  walk(root, [&](TSNode node) {
    std::string_view kind = query::kind(node);
    if (!is_function_kind(kind)) return;
    if (kind == "function_definition" && has_parenthesized_declarator(node)) return;
    if (Name name = get_function_name(node, source)) functions.push_back({node, std::move(*name)});
  });
}

bool declarator_is_function_pointer(TSNode declarator) {
  auto of_kind = [](std::string_view kind) {
    return [kind](TSNode node) { return query::kind(node) == kind; };
  };
  return query::find_first_descendant(declarator, of_kind("function_declarator")).has_value() &&
         query::find_first_descendant(declarator, of_kind("pointer_declarator")).has_value();
}

// The first identifier in a depth-first search that tries a node's
// "declarator" field before its children in order.
Name extract_innermost_identifier(TSNode root, std::string_view source) {
  std::vector<TSNode> stack{root};
  while (!stack.empty()) {
    TSNode node = stack.back();
    stack.pop_back();
    if (query::kind(node) == "identifier") {
      if (Name name = text_of(node, source)) return name;
      continue;
    }
    TSNode declarator = query::field(node, "declarator");
    std::vector<TSNode> kids = query::children(node);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
      // The declarator child was already tried first; trying it again could
      // only repeat its failure.
      if (is_null(declarator) || !ts_node_eq(*it, declarator)) stack.push_back(*it);
    }
    if (!is_null(declarator)) stack.push_back(declarator);
  }
  return std::nullopt;
}

Name rhs_target_function_name(TSNode node, std::string_view source) {
  while (!is_null(node)) {
    std::string_view kind = query::kind(node);
    if (kind == "cast_expression") {
      node = query::field(node, "value");
    } else if (kind == "unary_expression" || kind == "pointer_expression") {
      node = query::field(node, "argument");
    } else if (kind == "parenthesized_expression") {
      node = ts_node_named_child_count(node) > 0 ? ts_node_named_child(node, 0) : TSNode{};
    } else if (kind == "identifier") {
      return text_of(node, source);
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void collect_fn_ptr_aliases(TSNode root, std::string_view source, AliasMap& aliases) {
  walk(root, [&](TSNode node) {
    std::string_view kind = query::kind(node);
    if (kind == "assignment_expression") {
      TSNode left = query::field(node, "left");
      TSNode right = query::field(node, "right");
      if (is_null(left) || is_null(right) || query::kind(left) != "identifier") return;
      auto text = query::node_text(left, source);
      if (!text) return;
      auto entry = aliases.find(*text);
      if (entry == aliases.end()) return;
      if (Name target = rhs_target_function_name(right, source)) entry->second = std::move(*target);
    } else if (kind == "declaration") {
      for (TSNode child : query::children(node)) {
        if (query::kind(child) != "init_declarator") continue;
        TSNode declarator = query::field(child, "declarator");
        if (is_null(declarator) || !declarator_is_function_pointer(declarator)) continue;
        Name variable = extract_innermost_identifier(declarator, source);
        if (!variable) continue;
        TSNode value = query::field(child, "value");
        if (is_null(value)) continue;
        Name target = rhs_target_function_name(value, source);
        if (!target) continue;
        aliases.insert_or_assign(std::move(*variable), std::move(*target));
      }
    }
  });
}

// Words that a broken C parse can turn into the name of a function_definition
// that is really a statement.
bool is_statement_keyword(std::string_view name) {
  static constexpr std::array<std::string_view, 17> keywords{
      "if",     "do",    "for",    "else",   "case",   "goto",    "enum",    "while",   "break",
      "union",  "switch", "return", "sizeof", "struct", "default", "typedef", "continue"};
  for (std::string_view keyword : keywords) {
    if (name == keyword) return true;
  }
  return false;
}

// Whether a child is walked when the listed function holds a parse error.
bool enter_despite_error(TSNode child, std::string_view source) {
  std::string_view kind = query::kind(child);
  if (!is_function_kind(kind)) return true;
  if (kind != "function_definition") return false;
  if (has_parenthesized_declarator(child)) return true;
  Name name = get_function_name(child, source);
  return name && is_statement_keyword(*name);
}

Name call_name(TSNode node, std::string_view source, const AliasMap& aliases) {
  std::string_view kind = query::kind(node);
  if (kind == "call_expression" || kind == "call" || kind == "invocation_expression") {
    TSNode function = query::field(node, "function");
    if (!is_null(function)) {
      std::string_view fkind = query::kind(function);
      if (fkind == "identifier") {
        auto text = query::node_text(function, source);
        if (!text) return std::nullopt;
        auto alias = aliases.find(*text);
        return alias != aliases.end() ? alias->second : std::string(*text);
      }
      if (fkind == "field_expression") return text_of(query::field(function, "field"), source);
      if (fkind == "attribute" || fkind == "scoped_identifier" || fkind == "member_expression" ||
          fkind == "selector_expression" || fkind == "member_access_expression") {
        return text_of(function, source);
      }
      return std::nullopt;
    }
    if (kind != "call_expression") return std::nullopt;
    for (TSNode child : query::named_children(node)) {
      std::string_view ckind = query::kind(child);
      if (ckind != "call_suffix" && ckind != "type_arguments" && ckind != "value_arguments" &&
          ckind != "annotated_lambda") {
        return text_of(child, source);
      }
    }
    return std::nullopt;
  }
  if (kind == "procedure_call_statement" || kind == "function_call" || kind == "method_invocation") {
    return text_of(query::field(node, "name"), source);
  }
  if (kind == "object_creation_expression") return text_of(query::field(node, "type"), source);
  return std::nullopt;
}

void collect_call_names(TSNode root, std::string_view source, bool has_error,
                        const AliasMap& aliases, std::vector<std::string>& callees) {
  std::vector<TSNode> stack{root};
  std::vector<TSNode> kids;
  while (!stack.empty()) {
    TSNode node = stack.back();
    stack.pop_back();
    if (Name callee = call_name(node, source, aliases)) callees.push_back(std::move(*callee));
    if (!has_error) {
      query::push_children_reversed(node, stack);
      continue;
    }
    kids = query::children(node);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
      if (enter_despite_error(*it, source)) stack.push_back(*it);
    }
  }
}

}  // namespace

std::vector<CallEdge> call_edges(TSNode root, std::string_view source) {
  NameSet local_names;
  collect_local_names_recursive(root, source, local_names);
  std::vector<Function> functions;
  collect_functions(root, source, functions);

  std::vector<CallEdge> edges;
  std::vector<std::string> callees;
  for (const Function& function : functions) {
    AliasMap aliases;
    collect_fn_ptr_aliases(function.node, source, aliases);
    callees.clear();
    collect_call_names(function.node, source, ts_node_has_error(function.node), aliases, callees);
    for (std::string& callee : callees) {
      bool is_external = !local_names.contains(callee);
      edges.push_back({function.name, std::move(callee), is_external});
    }
  }
  return edges;
}

}  // namespace calls
