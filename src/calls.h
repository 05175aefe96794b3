// Function recognition and naming, and the call-edge extractor.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "parse.h"
#include "query.h"

namespace calls {

bool is_function_kind(std::string_view kind);

// The name of a function node found by a walk at `place`: a slice of the
// source or a fixed text, valid as long as the source is. Names may hold one
// another, so each byte of the name is a step of work.
std::optional<std::string_view> get_function_name(TSNode node, const query::Place& place, std::string_view source,
                                                  parse::Work& work);

struct CallEdge {
  std::string caller;
  std::string callee;
  bool is_external;
};

// Spends steps for what grows with the functions that enclose a node: the
// edges and aliases each one keeps, and the texts of names and callees.
std::vector<CallEdge> call_edges(TSNode root, std::string_view source, parse::Work& work);

}  // namespace calls
