#include "calls.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

namespace calls {

namespace {

using Name = std::optional<std::string_view>;

bool is_null(TSNode node) { return ts_node_is_null(node); }

Name text_of(TSNode node, std::string_view source) {
  if (is_null(node)) return std::nullopt;
  return query::node_text(node, source);
}

// The declarator scans of get_c_name and get_declarator_name: children are
// tested in order; a terminal child ends the scan of its level with its
// result; a descent child's own children are scanned as a nested level whose
// present result ends every enclosing scan and whose absent result lets the
// enclosing scan go on.
template <class IsTerminal, class IsDescent, class Resolve>
Name scan_declarators(TSNode node, IsTerminal is_terminal, IsDescent is_descent,
                      Resolve resolve) {
  query::Walk walk(node);
  bool more = walk.next();
  while (more) {
    std::string_view kind = walk.kind();
    if (is_terminal(kind)) {
      if (Name result = resolve(walk.node())) return result;
      more = walk.next_after_parent();
    } else {
      more = walk.next(is_descent(kind));
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
  TSNode child = query::first_child_of_kind(node, kind);
  if (is_null(child)) return std::nullopt;
  return name_field(child, source);
}

Name get_name_from_assignment_context(const query::Place& place, std::string_view source) {
  if (is_null(place.parent)) return std::nullopt;
  std::string_view kind = query::kind(place.parent);
  if (kind == "pair") return text_of(query::field(place.parent, "key"), source);
  if (kind == "variable_declarator" || kind == "public_field_definition") {
    return text_of(query::field(place.parent, "name"), source);
  }
  return std::nullopt;
}

Name get_lua_assignment_name(const query::Place& place, std::string_view source) {
  if (is_null(place.parent)) return std::nullopt;
  std::string_view kind = query::kind(place.parent);
  if (kind == "field") {
    return text_of(query::find_child(place.parent,
                                     [](TSNode child) {
                                       return ts_node_is_named(child) && query::kind(child) == "identifier";
                                     }),
                   source);
  }
  if (kind != "expression_list" || !place.named_index) return std::nullopt;
  if (is_null(place.grandparent) || query::kind(place.grandparent) != "assignment_statement") {
    return std::nullopt;
  }
  TSNode variables = query::first_child_of_kind(place.grandparent, "variable_list");
  if (is_null(variables) || *place.named_index >= ts_node_named_child_count(variables)) return std::nullopt;
  TSNode target = ts_node_named_child(variables, *place.named_index);
  if (query::kind(target) != "identifier") return std::nullopt;
  return text_of(target, source);
}

Name program_name(TSNode node, std::string_view source) {
  TSNode statement = query::first_child_of_kind(node, "program_statement");
  if (is_null(statement)) return std::nullopt;
  Name name;
  if (ts_node_named_child_count(statement) > 0) name = text_of(ts_node_named_child(statement, 0), source);
  if (!name) name = "program";
  return name;
}

// Name of the first procedure_specification or function_specification child.
Name ada_specification_name(TSNode node, std::string_view source) {
  TSNode heading = query::find_child(node, [](TSNode child) {
    std::string_view kind = query::kind(child);
    return kind == "procedure_specification" || kind == "function_specification";
  });
  if (is_null(heading)) return std::nullopt;
  return name_field(heading, source);
}

Name function_name(TSNode node, const query::Place& place, std::string_view source) {
  std::string_view kind = query::kind(node);
  if (kind == "program") return program_name(node, source);
  if (kind == "function") return name_in_child(node, "function_statement", source);
  if (kind == "subroutine") return name_in_child(node, "subroutine_statement", source);
  if (kind == "module_procedure") return name_in_child(node, "module_procedure_statement", source);
  if (kind == "task_body") return text_of(query::first_child_of_kind(node, "identifier"), source);
  if (kind == "func_literal") return std::nullopt;
  if (kind == "init_declaration") return "init";
  if (kind == "function_item" || kind == "method_definition" || kind == "generator_function" ||
      kind == "method_declaration" || kind == "constructor_declaration" ||
      kind == "local_function_statement" || kind == "generator_function_declaration") {
    return name_field(node, source);
  }
  if (kind == "arrow_function") return get_name_from_assignment_context(place, source);
  if (kind == "function_expression") {
    Name name = name_field(node, source);
    return name ? name : get_name_from_assignment_context(place, source);
  }
  if (kind == "subprogram_body" || kind == "expression_function_declaration") {
    return ada_specification_name(node, source);
  }
  if (kind == "function_declaration") {
    Name name = name_field(node, source);
    return name ? name : text_of(query::first_child_of_kind(node, "simple_identifier"), source);
  }
  if (kind == "function_definition") {
    if (Name name = name_field(node, source)) return name;
    if (Name name = get_c_name(node, source)) return name;
    return get_lua_assignment_name(place, source);
  }
  return get_c_name(node, source);
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

std::optional<std::string_view> get_function_name(TSNode node, const query::Place& place, std::string_view source,
                                                  parse::Work& work) {
  Name name = function_name(node, place, source);
  if (name) work.spend(name->size());
  return name;
}

namespace {

// Names and texts are slices of the source, which outlives the run.
using NameSet = std::unordered_set<std::string_view>;
using AliasMap = std::unordered_map<std::string_view, std::string_view>;

bool has_parenthesized_declarator(TSNode node) {
  TSNode declarator = query::field(node, "declarator");
  return !is_null(declarator) && query::kind(declarator) == "parenthesized_declarator";
}

// Declarators may hold declarations of their own (in an array size, say), so
// that the walks of a declarator count the nodes they visit, each as dear as
// the hashing of sixteen nodes.
constexpr std::uint64_t WALKED_NODE_STEPS = 16;

bool declarator_is_function_pointer(TSNode declarator, parse::Work& work) {
  bool function = false, pointer = false;
  query::Walk walk(declarator);
  do {
    work.spend(WALKED_NODE_STEPS);
    std::string_view kind = walk.kind();
    function = function || kind == "function_declarator";
    pointer = pointer || kind == "pointer_declarator";
    if (function && pointer) return true;
  } while (walk.next());
  return false;
}

// The first identifier in a depth-first search that tries a node's
// "declarator" field before its children in order.
Name extract_innermost_identifier(TSNode root, std::string_view source, parse::Work& work) {
  std::vector<TSNode> stack{root};
  std::vector<TSNode> kids;
  while (!stack.empty()) {
    TSNode node = stack.back();
    stack.pop_back();
    work.spend(WALKED_NODE_STEPS);
    if (query::kind(node) == "identifier") {
      if (Name name = text_of(node, source)) return name;
      continue;
    }
    TSNode declarator = query::field(node, "declarator");
    kids.clear();
    query::for_each_child(node, [&](TSNode child) {
      // The declarator child is tried first; trying it again could only
      // repeat its failure.
      if (is_null(declarator) || !ts_node_eq(child, declarator)) kids.push_back(child);
    });
    stack.insert(stack.end(), kids.rbegin(), kids.rend());
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

// A call site: the callee text as written, and whether a function-pointer
// alias of the calling function replaces it.
struct Call {
  std::string_view text;
  bool through_alias;
};

std::optional<Call> call_at(TSNode node, std::string_view kind, std::string_view source) {
  auto plain = [](Name text) { return text ? std::optional<Call>(Call{*text, false}) : std::nullopt; };
  if (kind == "call_expression" || kind == "call" || kind == "invocation_expression") {
    TSNode function = query::field(node, "function");
    if (!is_null(function)) {
      std::string_view fkind = query::kind(function);
      if (fkind == "identifier") {
        Name text = query::node_text(function, source);
        return text ? std::optional<Call>(Call{*text, true}) : std::nullopt;
      }
      if (fkind == "field_expression") return plain(text_of(query::field(function, "field"), source));
      if (fkind == "attribute" || fkind == "scoped_identifier" || fkind == "member_expression" ||
          fkind == "selector_expression" || fkind == "member_access_expression") {
        return plain(text_of(function, source));
      }
      return std::nullopt;
    }
    if (kind != "call_expression") return std::nullopt;
    return plain(text_of(query::find_child(node,
                                           [](TSNode child) {
                                             if (!ts_node_is_named(child)) return false;
                                             std::string_view ckind = query::kind(child);
                                             return ckind != "call_suffix" && ckind != "type_arguments" &&
                                                    ckind != "value_arguments" &&
                                                    ckind != "annotated_lambda";
                                           }),
                         source));
  }
  if (kind == "procedure_call_statement" || kind == "function_call" || kind == "method_invocation") {
    return plain(text_of(query::field(node, "name"), source));
  }
  if (kind == "object_creation_expression") return plain(text_of(query::field(node, "type"), source));
  return std::nullopt;
}

// Steps of a record that the run keeps for each function enclosing a node (an
// edge, an alias): an edge takes about 200 bytes by the time it is a Python
// object.
constexpr std::uint64_t RECORD_STEPS = 32;

// A listed function: a named function node, except a function_definition
// built on a parenthesized declarator.
struct Function {
  std::string_view name;
  bool has_error;
  std::size_t depth;
  AliasMap aliases;
  std::vector<std::uint32_t> calls;  // into the run's call sites, in pre-order
};

// The state of the one walk of call_edges. Every listed function whose
// subtree holds the current node is open; what a walk of one function's
// subtree would find there (an alias, a call) is given to each open function
// that such a walk would reach.
class Run {
 public:
  Run(std::string_view source, parse::Work& work) : source_(source), work_(work) {}

  void visit(const query::Walk& walk);
  std::vector<CallEdge> edges();

 private:
  void visit_function(const query::Walk& walk);
  void assignment(TSNode node);
  void declaration(TSNode node);
  void call(const Call& call);

  std::string_view source_;
  parse::Work& work_;
  NameSet local_names_;
  std::vector<Function> functions_;
  std::vector<std::size_t> open_;  // into functions_, outermost first
  // Depths of the nested function nodes that the walk of a function holding
  // a parse error passes over, outermost first.
  std::vector<std::size_t> passed_over_;
  std::vector<Call> calls_;
};

void Run::visit(const query::Walk& walk) {
  std::size_t depth = walk.depth();
  while (!open_.empty() && functions_[open_.back()].depth >= depth) open_.pop_back();
  while (!passed_over_.empty() && passed_over_.back() >= depth) passed_over_.pop_back();
  std::string_view kind = walk.kind();
  TSNode node = walk.node();
  if (is_function_kind(kind)) {
    visit_function(walk);
  } else if (kind == "preproc_def" || kind == "preproc_function_def") {
    if (Name name = text_of(query::field(node, "name"), source_)) local_names_.insert(*name);
  } else if (open_.empty()) {
    // Aliases and calls outside every listed function reach no result.
  } else if (kind == "assignment_expression") {
    assignment(node);
  } else if (kind == "declaration") {
    declaration(node);
  } else if (std::optional<Call> site = call_at(node, kind, source_)) {
    work_.spend(site->text.size());
    call(*site);
  }
}

void Run::visit_function(const query::Walk& walk) {
  TSNode node = walk.node();
  bool definition = query::kind(node) == "function_definition";
  bool parenthesized = definition && has_parenthesized_declarator(node);
  Name name = get_function_name(node, walk.place(), source_, work_);
  if (name) local_names_.insert(*name);
  // A function_definition built on a parenthesized declarator or named by a
  // statement keyword is entered as a statement by an error walk.
  if (!(definition && (parenthesized || (name && is_statement_keyword(*name))))) {
    passed_over_.push_back(walk.depth());
  }
  if (name && !parenthesized) {
    functions_.push_back({*name, ts_node_has_error(node), walk.depth(), {}, {}});
    open_.push_back(functions_.size() - 1);
  }
}

// An assignment only replaces the target of a variable already known as an
// alias.
void Run::assignment(TSNode node) {
  work_.spend(open_.size());
  bool any = std::any_of(open_.begin(), open_.end(),
                         [this](std::size_t i) { return !functions_[i].aliases.empty(); });
  if (!any) return;
  TSNode left = query::field(node, "left");
  TSNode right = query::field(node, "right");
  if (is_null(left) || is_null(right) || query::kind(left) != "identifier") return;
  Name variable = query::node_text(left, source_);
  if (!variable) return;
  Name target;
  bool resolved = false;
  for (std::size_t i : open_) {
    work_.spend(variable->size());
    auto entry = functions_[i].aliases.find(*variable);
    if (entry == functions_[i].aliases.end()) continue;
    if (!resolved) {
      target = rhs_target_function_name(right, source_);
      resolved = true;
    }
    if (target) entry->second = *target;
  }
}

// Each init_declarator that declares a function pointer initialised from a
// function name makes the variable an alias of that name.
void Run::declaration(TSNode node) {
  query::for_each_child(node, [this](TSNode child) {
    if (query::kind(child) != "init_declarator") return;
    TSNode value = query::field(child, "value");
    if (is_null(value)) return;
    Name target = rhs_target_function_name(value, source_);
    if (!target) return;
    TSNode declarator = query::field(child, "declarator");
    if (is_null(declarator) || !declarator_is_function_pointer(declarator, work_)) return;
    Name variable = extract_innermost_identifier(declarator, source_, work_);
    if (!variable) return;
    for (std::size_t i : open_) {
      work_.spend(RECORD_STEPS + variable->size());
      functions_[i].aliases.insert_or_assign(*variable, *target);
    }
  });
}

void Run::call(const Call& site) {
  auto index = static_cast<std::uint32_t>(calls_.size());
  calls_.push_back(site);
  work_.spend(open_.size());
  for (std::size_t i : open_) {
    Function& function = functions_[i];
    if (!function.has_error || passed_over_.empty() || passed_over_.back() <= function.depth) {
      work_.spend(RECORD_STEPS);
      function.calls.push_back(index);
    }
  }
}

std::vector<CallEdge> Run::edges() {
  std::size_t count = 0;
  for (const Function& function : functions_) count += function.calls.size();
  std::vector<CallEdge> edges;
  edges.reserve(count);
  for (const Function& function : functions_) {
    for (std::uint32_t index : function.calls) {
      std::string_view callee = calls_[index].text;
      if (calls_[index].through_alias) {
        if (auto alias = function.aliases.find(callee); alias != function.aliases.end()) callee = alias->second;
      }
      work_.spend(function.name.size() + callee.size());
      edges.push_back({std::string(function.name), std::string(callee), !local_names_.contains(callee)});
    }
  }
  return edges;
}

}  // namespace

std::vector<CallEdge> call_edges(TSNode root, std::string_view source, parse::Work& work) {
  Run run(source, work);
  query::Walk walk(root);
  do {
    run.visit(walk);
  } while (walk.next());
  return run.edges();
}

}  // namespace calls
