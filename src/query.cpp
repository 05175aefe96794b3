#include "query.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

namespace query {

Grammar::Grammar(const TSLanguage* language) : language_(language) {
  std::uint32_t symbols = ts_language_symbol_count(language);
  kinds_.reserve(symbols);
  named_.reserve(symbols);
  for (std::uint32_t symbol = 0; symbol < symbols; ++symbol) {
    const char* name = ts_language_symbol_name(language, static_cast<TSSymbol>(symbol));
    kinds_.push_back(name ? std::string_view(name) : std::string_view{});
    named_.push_back(ts_language_symbol_type(language, static_cast<TSSymbol>(symbol)) == TSSymbolTypeRegular);
  }
  std::uint32_t fields = ts_language_field_count(language);
  for (std::uint32_t id = 1; id <= fields; ++id) {
    if (const char* name = ts_language_field_name_for_id(language, static_cast<TSFieldId>(id))) {
      fields_.emplace_back(name, static_cast<TSFieldId>(id));
    }
  }
  std::sort(fields_.begin(), fields_.end());
}

const Grammar& Grammar::of(const TSLanguage* language) {
  // Every call of an analysis asks for the grammar of one tree, so the last
  // one found answers almost every lookup without taking the lock.
  static std::atomic<const Grammar*> last{nullptr};
  const Grammar* grammar = last.load(std::memory_order_acquire);
  if (grammar && grammar->language_ == language) return *grammar;
  static std::mutex mutex;
  static std::vector<std::unique_ptr<const Grammar>> known;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = std::find_if(known.begin(), known.end(),
                            [language](const auto& g) { return g->language_ == language; });
  if (found == known.end()) {
    known.push_back(std::unique_ptr<const Grammar>(new Grammar(language)));
    found = known.end() - 1;
  }
  last.store(found->get(), std::memory_order_release);
  return **found;
}

TSFieldId Grammar::field_id(std::string_view name) const {
  auto it = std::lower_bound(fields_.begin(), fields_.end(), name,
                             [](const auto& entry, std::string_view key) { return entry.first < key; });
  return it != fields_.end() && it->first == name ? it->second : 0;
}

// ERROR nodes and any symbol past the grammar's own table.
std::string_view Grammar::kind_beyond_table(TSSymbol symbol) const {
  const char* name = ts_language_symbol_name(language_, symbol);
  return name ? std::string_view(name) : std::string_view{};
}

Walk::Walk(TSNode root) : cursor_(root), grammar_(Grammar::of(ts_node_language(root))) { arrive(); }

void Walk::arrive() {
  node_ = ts_tree_cursor_current_node(cursor_.get());
  symbol_ = ts_node_symbol(node_);
  named_index_.reset();
  if (!path_.empty() && is_named()) named_index_ = path_.back().named_seen++;
}

Place Walk::place() const {
  Place place;
  if (!path_.empty()) place.parent = path_.back().node;
  if (path_.size() > 1) place.grandparent = path_[path_.size() - 2].node;
  place.named_index = named_index_;
  return place;
}

bool Walk::next(bool enter) {
  if (enter && ts_tree_cursor_goto_first_child(cursor_.get())) {
    path_.push_back({node_, 0});
    arrive();
    return true;
  }
  while (!path_.empty()) {
    if (ts_tree_cursor_goto_next_sibling(cursor_.get())) {
      arrive();
      return true;
    }
    ts_tree_cursor_goto_parent(cursor_.get());
    path_.pop_back();
  }
  return false;
}

bool Walk::next_after_parent() {
  if (path_.empty()) return false;
  ts_tree_cursor_goto_parent(cursor_.get());
  node_ = path_.back().node;
  path_.pop_back();
  return next(false);
}

TSNode first_child_of_kind(TSNode node, std::string_view kind) {
  return find_child(node, [kind](TSNode child) { return query::kind(child) == kind; });
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
