// tools:suppress comments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry.h"

namespace suppressions {

struct Suppression {
  std::uint64_t comment_line;
  std::optional<std::uint64_t> target_line;  // first later non-blank line
  std::string tool;
  std::string rule;
  std::optional<std::string> hash;
  std::optional<std::string> justification;
};

// One record per suppression comment, in line order.
std::vector<Suppression> suppressions(std::string_view source, registry::SlocMode mode);

}  // namespace suppressions
