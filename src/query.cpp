#include "query.h"

namespace query {

namespace {

// Calls visit on each child of node in order, through one cursor.
template <class Visit>
void for_each_child(TSNode node, Visit visit) {
  uint32_t count = ts_node_child_count(node);
  if (count == 0) return;
  Cursor cursor(node);
  if (!ts_tree_cursor_goto_first_child(cursor.get())) return;
  for (uint32_t i = 0; i < count; ++i) {
    visit(ts_tree_cursor_current_node(cursor.get()));
    if (!ts_tree_cursor_goto_next_sibling(cursor.get())) break;
  }
}

}  // namespace

std::vector<TSNode> children(TSNode node) {
  std::vector<TSNode> out;
  out.reserve(ts_node_child_count(node));
  for_each_child(node, [&](TSNode child) { out.push_back(child); });
  return out;
}

std::vector<TSNode> named_children(TSNode node) {
  std::vector<TSNode> out;
  for_each_child(node, [&](TSNode child) {
    if (ts_node_is_named(child)) out.push_back(child);
  });
  return out;
}

void push_children_reversed(TSNode node, std::vector<TSNode>& stack) {
  std::vector<TSNode> kids = children(node);
  stack.insert(stack.end(), kids.rbegin(), kids.rend());
}

bool is_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
      len = 2, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > n) return false;
    char32_t cp = c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::optional<std::string_view> node_text(TSNode node, std::string_view source) {
  std::size_t start = ts_node_start_byte(node), end = ts_node_end_byte(node);
  if (start > end || end > source.size()) return std::nullopt;
  std::string_view text = source.substr(start, end - start);
  if (!is_utf8(text)) return std::nullopt;
  return text;
}

std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& cp) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  unsigned char c = s[pos];
  std::size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || pos + len > n) {
    cp = 0xFFFD;
    return 1;
  }
  char32_t v = len == 1 ? c : c & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if ((s[pos + k] & 0xC0) != 0x80) {
      cp = 0xFFFD;
      return 1;
    }
    v = (v << 6) | (s[pos + k] & 0x3F);
  }
  cp = v;
  return len;
}

bool is_whitespace(char32_t cp) {
  if (cp <= 0x7F) return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20;
  switch (cp) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

namespace {

// Length of the whitespace code point that ends text, or 0.
std::size_t trailing_whitespace(std::string_view text) {
  std::size_t n = text.size();
  auto last = static_cast<unsigned char>(text[n - 1]);
  if (last < 0x80) return is_whitespace(last) ? 1 : 0;
  std::size_t start = n - 1;
  while (start > 0 && n - start < 4 &&
         (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  char32_t cp;
  std::size_t len = decode_utf8(text, start, cp);
  return (start + len == n && is_whitespace(cp)) ? len : 0;
}

}  // namespace

std::string_view trim(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    char32_t cp;
    std::size_t len = decode_utf8(text, start, cp);
    if (!is_whitespace(cp)) break;
    start += len;
  }
  text.remove_prefix(start);
  while (!text.empty()) {
    std::size_t len = trailing_whitespace(text);
    if (len == 0) break;
    text.remove_suffix(len);
  }
  return text;
}

}  // namespace query
