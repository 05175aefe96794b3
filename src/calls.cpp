#include "calls.h"

#include "registry.h"

namespace calls {

bool is_function_kind(std::string_view) { return false; }

std::optional<std::string> get_function_name(TSNode, std::string_view) { return std::nullopt; }

std::vector<CallEdge> call_edges(TSNode, std::string_view) {
  throw registry::InternalError("call_edges is not implemented");
}

}  // namespace calls
