// Import, include, require, use and with sources.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

namespace imports {

// Appends the import sources of the tree under root, in pre-order.
void walk(TSNode root, std::string_view source, std::string_view language_key,
          std::vector<std::string>& out);

// The rule table's rows of one language key; keys that share rows share a value.
enum class Rules { none, c, go, php, lua, ada, rust, java, swift, scala, python, csharp, kotlin, fortran, javascript };

Rules rules_for_key(std::string_view language_key);

// Appends the sources that the rules find in this one node of that kind.
void extract(TSNode node, std::string_view kind, std::string_view source, Rules rules,
             std::vector<std::string>& out);

// The rules of one language for a node already known to be of its import kind.
void extract_ada(TSNode node, std::string_view source, std::vector<std::string>& out);
void extract_kotlin(TSNode node, std::string_view source, std::vector<std::string>& out);
void extract_swift(TSNode node, std::string_view source, std::vector<std::string>& out);
void extract_scala(TSNode node, std::string_view source, std::vector<std::string>& out);

// The node's source slice trimmed of whitespace; empty when not valid UTF-8.
std::string_view node_text(TSNode node, std::string_view source);

// Removes one enclosing pair of "", '' or <>.
std::string unquote(std::string_view text);

}  // namespace imports
