// Whole-line comment recognition and tools:off / tools:on regions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry.h"

namespace regions {

// Body of the line when the line, as a whole, is one comment of the syntax.
std::optional<std::string_view> marker_text(std::string_view line, registry::SlocMode mode);

struct Marker {
  bool on;  // tools:on when true, tools:off otherwise
  std::optional<std::vector<std::string>> tools;  // tools:off only; absent = all tools
};

std::optional<Marker> parse_marker(std::string_view body);

struct IgnoredRegion {
  std::pair<std::uint64_t, std::uint64_t> byte_range;
  std::pair<std::uint64_t, std::uint64_t> line_range;
  std::optional<std::vector<std::string>> tools;
};

std::vector<IgnoredRegion> ignored_regions(std::string_view source, registry::SlocMode mode);

}  // namespace regions
