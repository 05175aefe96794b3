#include "imports.h"

#include <initializer_list>

#include "query.h"

namespace imports {

namespace {

bool is_one_of(std::string_view kind, std::initializer_list<std::string_view> kinds) {
  for (std::string_view k : kinds) {
    if (kind == k) return true;
  }
  return false;
}

// Appends the text of node, if there is a node.
void append_text(TSNode node, std::string_view source, bool unquoted,
                 std::vector<std::string>& out, parse::Work& work) {
  if (ts_node_is_null(node)) return;
  std::string_view text = node_text(node, source, work);
  out.push_back(unquoted ? unquote(text) : std::string(text));
}

TSNode first_named_child(TSNode node) {
  if (ts_node_is_null(node) || ts_node_named_child_count(node) == 0) return TSNode{};
  return ts_node_named_child(node, 0);
}

bool is_named_of(TSNode node, std::initializer_list<std::string_view> kinds) {
  return ts_node_is_named(node) && is_one_of(query::kind(node), kinds);
}

// The first named child of one of the given kinds, or a null node.
TSNode first_named_of(TSNode node, std::initializer_list<std::string_view> kinds) {
  return query::find_child(node, [kinds](TSNode child) { return is_named_of(child, kinds); });
}

void append_each_named_of(TSNode node, std::string_view source,
                          std::initializer_list<std::string_view> kinds,
                          std::vector<std::string>& out, parse::Work& work) {
  query::for_each_child(node, [&](TSNode child) {
    if (is_named_of(child, kinds)) append_text(child, source, false, out, work);
  });
}

// Every child that the grammar assigns to the field, named or not, in order.
std::vector<TSNode> children_in_field(TSNode node, std::string_view name) {
  std::vector<TSNode> found;
  TSFieldId id = query::Grammar::of(ts_node_language(node)).field_id(name);
  if (id == 0) return found;
  query::Cursor cursor(node);
  if (!ts_tree_cursor_goto_first_child(cursor.get())) return found;
  do {
    if (ts_tree_cursor_current_field_id(cursor.get()) == id) {
      found.push_back(ts_tree_cursor_current_node(cursor.get()));
    }
  } while (ts_tree_cursor_goto_next_sibling(cursor.get()));
  return found;
}

// Appends the parts joined with "."; nothing when there are none.
void append_joined(const std::vector<TSNode>& parts, std::string_view source,
                   std::vector<std::string>& out, parse::Work& work) {
  if (parts.empty()) return;
  std::string joined(node_text(parts.front(), source, work));
  for (std::size_t i = 1; i < parts.size(); ++i) {
    joined += '.';
    joined += node_text(parts[i], source, work);
  }
  out.push_back(std::move(joined));
}

void extract_python_import(TSNode node, std::string_view source,
                           std::vector<std::string>& out, parse::Work& work) {
  for (TSNode name : children_in_field(node, "name")) {
    if (query::kind(name) == "aliased_import") {
      TSNode module = query::field(name, "name");
      append_text(ts_node_is_null(module) ? name : module, source, false, out, work);
    } else {
      append_text(name, source, false, out, work);
    }
  }
}

void extract_lua_require(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work) {
  TSNode name = query::field(node, "name");
  if (ts_node_is_null(name) || node_text(name, source, work) != "require") return;
  append_text(first_named_child(query::field(node, "arguments")), source, true, out, work);
}

void extract_csharp_using(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work) {
  TSNode name = query::field(node, "name");
  append_text(ts_node_is_null(name) ? first_named_child(node) : name, source, false, out, work);
}

}  // namespace

std::string_view node_text(TSNode node, std::string_view source, parse::Work& work) {
  // Texts may nest (an include of an include), so that one byte is read once
  // for every text that holds it.
  work.spend(ts_node_end_byte(node) - ts_node_start_byte(node));
  std::optional<std::string_view> text = query::node_text(node, source);
  return text ? query::trim(*text) : std::string_view{};
}

std::string unquote(std::string_view text) {
  if (text.size() >= 2) {
    char first = text.front(), last = text.back();
    if ((first == '<' && last == '>') || (first == '\'' && last == '\'') ||
        (first == '"' && last == '"')) {
      return std::string(text.substr(1, text.size() - 2));
    }
  }
  return std::string(text);
}

void extract_ada(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work) {
  append_each_named_of(node, source, {"selected_component", "identifier"}, out, work);
}

void extract_kotlin(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work) {
  append_text(first_named_of(node, {"qualified_identifier", "identifier"}), source, false, out, work);
}

void extract_swift(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work) {
  std::vector<TSNode> parts;
  query::for_each_child(node, [&parts](TSNode child) {
    if (is_named_of(child, {"identifier"})) parts.push_back(child);
  });
  append_joined(parts, source, out, work);
}

void extract_scala(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work) {
  std::vector<TSNode> parts;
  for (TSNode child : children_in_field(node, "path")) {
    if (ts_node_is_named(child)) parts.push_back(child);
  }
  append_joined(parts, source, out, work);
}

Rules rules_for_key(std::string_view key) {
  if (key == "c" || key == "cpp") return Rules::c;
  if (key == "go") return Rules::go;
  if (key == "php") return Rules::php;
  if (key == "lua") return Rules::lua;
  if (key == "ada") return Rules::ada;
  if (key == "rust") return Rules::rust;
  if (key == "java") return Rules::java;
  if (key == "swift") return Rules::swift;
  if (key == "scala") return Rules::scala;
  if (key == "python") return Rules::python;
  if (key == "csharp") return Rules::csharp;
  if (key == "kotlin") return Rules::kotlin;
  if (key == "fortran") return Rules::fortran;
  if (key == "javascript" || key == "typescript") return Rules::javascript;
  return Rules::none;
}

void extract(TSNode node, std::string_view kind, std::string_view source, Rules rules,
             std::vector<std::string>& out, parse::Work& work) {
  switch (rules) {
    case Rules::none:
      return;
    case Rules::c:
      if (kind == "preproc_include") append_text(query::field(node, "path"), source, true, out, work);
      return;
    case Rules::go:
      if (kind == "import_spec") append_text(query::field(node, "path"), source, true, out, work);
      return;
    case Rules::php:
      if (is_one_of(kind, {"include_expression", "include_once_expression", "require_expression",
                           "require_once_expression"})) {
        append_text(first_named_child(node), source, true, out, work);
      } else if (kind == "namespace_use_clause") {
        append_text(first_named_of(node, {"qualified_name", "name"}), source, false, out, work);
      } else if (kind == "namespace_use_declaration") {
        append_each_named_of(node, source, {"name", "namespace_name", "qualified_name"}, out, work);
      }
      return;
    case Rules::lua:
      if (kind == "function_call") extract_lua_require(node, source, out, work);
      return;
    case Rules::ada:
      if (kind == "with_clause") extract_ada(node, source, out, work);
      return;
    case Rules::rust:
      if (kind == "use_declaration") append_text(query::field(node, "argument"), source, false, out, work);
      return;
    case Rules::java:
      if (kind == "import_declaration") {
        append_each_named_of(node, source, {"scoped_identifier", "identifier"}, out, work);
      }
      return;
    case Rules::swift:
      if (kind == "import_declaration") extract_swift(node, source, out, work);
      return;
    case Rules::scala:
      if (kind == "import_declaration") extract_scala(node, source, out, work);
      return;
    case Rules::python:
      if (kind == "import_statement") {
        extract_python_import(node, source, out, work);
      } else if (kind == "import_from_statement") {
        append_text(query::field(node, "module_name"), source, false, out, work);
      }
      return;
    case Rules::csharp:
      if (kind == "using_directive") extract_csharp_using(node, source, out, work);
      return;
    case Rules::kotlin:
      if (kind == "import") extract_kotlin(node, source, out, work);
      return;
    case Rules::fortran:
      if (kind == "use_statement") {
        append_text(first_named_of(node, {"module_name"}), source, false, out, work);
      } else if (kind == "include_statement") {
        append_text(query::field(node, "path"), source, true, out, work);
      }
      return;
    case Rules::javascript:
      if (kind == "import_statement" || kind == "import_require_clause") {
        append_text(query::field(node, "source"), source, true, out, work);
      }
      return;
  }
}

void walk(TSNode root, std::string_view source, std::string_view language_key,
          std::vector<std::string>& out, parse::Work& work) {
  Rules rules = rules_for_key(language_key);
  if (rules == Rules::none) return;
  query::Walk walk(root);
  do {
    extract(walk.node(), walk.kind(), source, rules, out, work);
  } while (walk.next());
}

}  // namespace imports
