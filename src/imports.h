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

}  // namespace imports
