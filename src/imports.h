// Import, include, require, use and with sources.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "parse.h"

namespace imports {

// Appends the import sources of the tree under root, in pre-order. Every text
// that a rule reads costs its length in steps of work.
void walk(TSNode root, std::string_view source, std::string_view language_key,
          std::vector<std::string>& out, parse::Work& work);

// The rule table's rows of one language key; keys that share rows share a value.
enum class Rules { none, c, go, php, lua, ada, rust, java, swift, scala, python, csharp, kotlin, fortran, javascript };

Rules rules_for_key(std::string_view language_key);

// Appends the sources that the rules find in this one node of that kind.
void extract(TSNode node, std::string_view kind, std::string_view source, Rules rules,
             std::vector<std::string>& out, parse::Work& work);

// The rules of one language for a node already known to be of its import kind.
void extract_ada(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work);
void extract_kotlin(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work);
void extract_swift(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work);
void extract_scala(TSNode node, std::string_view source, std::vector<std::string>& out, parse::Work& work);

// The node's source slice trimmed of whitespace; empty when not valid UTF-8.
// Each byte of the slice is a step of work.
std::string_view node_text(TSNode node, std::string_view source, parse::Work& work);

// Removes one enclosing pair of "", '' or <>.
std::string unquote(std::string_view text);

}  // namespace imports
