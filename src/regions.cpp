#include "regions.h"

#include <cstring>

#include "query.h"

namespace regions {

namespace {

struct CommentSyntax {
  std::string_view line_prefix;
  std::string_view block_opener;  // empty when the syntax has no block form
  std::string_view block_closer;  // two bytes, or empty
};

const CommentSyntax& comment_syntax(registry::SlocMode mode) {
  static constexpr CommentSyntax c_style{"//", "/*", "*/"};
  static constexpr CommentSyntax hash{"#", "", ""};
  static constexpr CommentSyntax double_dash{"--", "", ""};
  static constexpr CommentSyntax lua{"--", "--[[", "]]"};
  static constexpr CommentSyntax bang{"!", "", ""};
  switch (mode) {
    case registry::SlocMode::CStyle: return c_style;
    case registry::SlocMode::Hash: return hash;
    case registry::SlocMode::DoubleDash: return double_dash;
    case registry::SlocMode::Lua: return lua;
    default: return bang;
  }
}

}  // namespace

std::optional<std::string_view> marker_text(std::string_view line, registry::SlocMode mode) {
  const CommentSyntax& syntax = comment_syntax(mode);
  std::string_view text = query::trim(line);
  const std::string_view opener = syntax.block_opener;
  if (!opener.empty() && text.size() >= opener.size() + 2 && text.starts_with(opener) &&
      text.ends_with(syntax.block_closer)) {
    return query::trim(text.substr(opener.size(), text.size() - opener.size() - 2));
  }
  if (text.starts_with(syntax.line_prefix)) return query::trim(text.substr(syntax.line_prefix.size()));
  return std::nullopt;
}

std::string_view next_line(std::string_view text, std::size_t& pos) {
  const std::size_t start = pos;
  const void* feed = std::memchr(text.data() + start, '\n', text.size() - start);
  const std::size_t end = feed ? static_cast<std::size_t>(static_cast<const char*>(feed) - text.data())
                               : text.size();
  pos = feed ? end + 1 : end;
  return text.substr(start, end - start);
}

std::optional<Marker> parse_marker(std::string_view body) {
  constexpr std::string_view off = "tools:off";
  constexpr std::string_view off_with_tools = "tools:off ";
  if (body == off) return Marker{Marker::Off, std::nullopt};
  if (body == "tools:on") return Marker{Marker::On, std::nullopt};
  if (!body.starts_with(off_with_tools)) return std::nullopt;
  std::string_view rest = body.substr(off_with_tools.size());
  std::vector<std::string> tools;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view name = query::trim(rest.substr(0, comma));
    if (!name.empty()) tools.emplace_back(name);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (tools.empty()) return std::nullopt;
  return Marker{Marker::Off, std::move(tools)};
}

std::vector<IgnoredRegion> ignored_regions(std::string_view source, registry::SlocMode mode) {
  struct OpenRegion {
    std::optional<std::vector<std::string>> tools;
    std::uint64_t start_byte;
    std::uint64_t start_line;
  };
  std::vector<IgnoredRegion> regions;
  std::optional<OpenRegion> open;
  std::uint64_t line_number = 0;
  std::size_t pos = 0;
  while (pos < source.size()) {
    const std::size_t line_start = pos;
    // A carriage return stays in the line: it counts towards the region's end.
    const std::string_view line = next_line(source, pos);
    ++line_number;
    const auto body = marker_text(line, mode);
    if (!body) continue;
    auto marker = parse_marker(*body);
    if (!marker) continue;
    if (marker->kind == Marker::Off) {
      if (!open) open = OpenRegion{std::move(marker->tools), line_start, line_number};
    } else if (open) {
      regions.push_back({{open->start_byte, line_start + line.size()},
                         {open->start_line, line_number},
                         std::move(open->tools)});
      open.reset();
    }
  }
  if (open) {
    regions.push_back({{open->start_byte, source.size()}, {open->start_line, line_number}, std::move(open->tools)});
  }
  return regions;
}

}  // namespace regions
