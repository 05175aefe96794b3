#include "suppressions.h"

#include "query.h"
#include "regions.h"

namespace suppressions {

namespace {

// The next whitespace-separated token of text at or after pos, or an empty
// view at the end. A double quote keeps whitespace inside the token until
// the next double quote; the quotes stay part of the token.
std::string_view next_token(std::string_view text, std::size_t& pos) {
  char32_t cp;
  while (pos < text.size()) {
    const std::size_t len = query::decode_utf8(text, pos, cp);
    if (!query::is_whitespace(cp)) break;
    pos += len;
  }
  const std::size_t start = pos;
  bool quoted = false;
  while (pos < text.size()) {
    const std::size_t len = query::decode_utf8(text, pos, cp);
    if (cp == U'"') {
      quoted = !quoted;
    } else if (!quoted && query::is_whitespace(cp)) {
      break;
    }
    pos += len;
  }
  return text.substr(start, pos - start);
}

std::string_view strip_quotes(std::string_view text) {
  const std::size_t first = text.find_first_not_of('"');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of('"') - first + 1);
}

std::optional<Suppression> parse_suppression(std::string_view body) {
  constexpr std::string_view prefix = "tools:suppress ";
  if (!body.starts_with(prefix)) return std::nullopt;
  const std::string_view rest = query::trim(body.substr(prefix.size()));
  std::size_t pos = 0;
  const std::string_view tool_rule = next_token(rest, pos);
  const std::size_t colon = tool_rule.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == tool_rule.size()) return std::nullopt;

  constexpr std::string_view hash_prefix = "HASH:";
  constexpr std::string_view justification_prefix = "JUSTIFICATION:";
  std::optional<std::string_view> hash, justification;
  for (std::string_view token = next_token(rest, pos); !token.empty(); token = next_token(rest, pos)) {
    if (token.starts_with(hash_prefix)) {
      hash = token.substr(hash_prefix.size());
    } else if (token.starts_with(justification_prefix)) {
      justification = strip_quotes(token.substr(justification_prefix.size()));
    }
  }
  return Suppression{0,
                     std::nullopt,
                     std::string(tool_rule.substr(0, colon)),
                     std::string(tool_rule.substr(colon + 1)),
                     hash ? std::optional<std::string>(*hash) : std::nullopt,
                     justification ? std::optional<std::string>(*justification) : std::nullopt};
}

}  // namespace

std::vector<Suppression> suppressions(std::string_view source, registry::SlocMode mode) {
  std::vector<Suppression> found;
  // Index of the last record while its target line is still unknown. Every
  // suppression comment is itself a non-blank line, so at most one record
  // waits at a time and each line is tested once.
  std::optional<std::size_t> awaiting_target;
  std::uint64_t line_number = 0;
  std::size_t pos = 0;
  while (pos < source.size()) {
    std::string_view line = regions::next_line(source, pos);
    if (line.ends_with('\r') && line.data() + line.size() < source.data() + pos) line.remove_suffix(1);
    ++line_number;
    const std::string_view text = query::trim(line);
    if (text.empty()) continue;
    if (awaiting_target) {
      found[*awaiting_target].target_line = line_number;
      awaiting_target.reset();
    }
    const auto body = regions::marker_text(text, mode);
    if (!body) continue;
    auto record = parse_suppression(*body);
    if (!record) continue;
    record->comment_line = line_number;
    awaiting_target = found.size();
    found.push_back(std::move(*record));
  }
  return found;
}

}  // namespace suppressions
