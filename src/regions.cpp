#include "regions.h"

namespace regions {

std::optional<std::string_view> marker_text(std::string_view, registry::SlocMode) { return std::nullopt; }

std::optional<Marker> parse_marker(std::string_view) { return std::nullopt; }

std::vector<IgnoredRegion> ignored_regions(std::string_view, registry::SlocMode) {
  throw registry::InternalError("ignored_regions is not implemented");
}

}  // namespace regions
