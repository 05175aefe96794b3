// Function recognition and naming, and the call-edge extractor.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

namespace calls {

bool is_function_kind(std::string_view kind);
std::optional<std::string> get_function_name(TSNode node, std::string_view source);

struct CallEdge {
  std::string caller;
  std::string callee;
  bool is_external;
};

std::vector<CallEdge> call_edges(TSNode root, std::string_view source);

}  // namespace calls
