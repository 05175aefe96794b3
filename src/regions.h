// Whole-line comment recognition and tools:off / tools:on regions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry.h"

namespace regions {

// Body of the line when the line, as a whole, is one comment of the syntax;
// a view into the line.
std::optional<std::string_view> marker_text(std::string_view line, registry::SlocMode mode);

// The line of text that starts at pos (pos < text.size()), without its line
// feed; pos moves past the line feed, or to the end of the text.
std::string_view next_line(std::string_view text, std::size_t& pos);

struct Marker {
  enum Kind : bool { Off, On };
  Kind kind;
  std::optional<std::vector<std::string>> tools;  // Off only; absent = all tools
};

std::optional<Marker> parse_marker(std::string_view body);

struct IgnoredRegion {
  std::pair<std::uint64_t, std::uint64_t> byte_range;  // half-open byte offsets
  std::pair<std::uint64_t, std::uint64_t> line_range;  // inclusive, 1-based
  std::optional<std::vector<std::string>> tools;       // absent = all tools
};

// The regions in the order they were closed (which is source order).
std::vector<IgnoredRegion> ignored_regions(std::string_view source, registry::SlocMode mode);

}  // namespace regions
