// Tree-search helpers, RAII handles for runtime objects, and text helpers
// over source bytes shared by the analyses.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <tree_sitter/api.h>

namespace query {

// Owns a TSTreeCursor.
class Cursor {
 public:
  explicit Cursor(TSNode node) : cursor_(ts_tree_cursor_new(node)) {}
  ~Cursor() { ts_tree_cursor_delete(&cursor_); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  TSTreeCursor* get() { return &cursor_; }
  // Moves the cursor to another node, keeping its buffer.
  void reset(TSNode node) { ts_tree_cursor_reset(&cursor_, node); }

 private:
  TSTreeCursor cursor_;
};

// Owns a TSTree.
class Tree {
 public:
  Tree() = default;
  explicit Tree(TSTree* tree) : tree_(tree) {}
  ~Tree() { reset(); }
  Tree(Tree&& other) noexcept : tree_(std::exchange(other.tree_, nullptr)) {}
  Tree& operator=(Tree&& other) noexcept {
    if (this != &other) {
      reset();
      tree_ = std::exchange(other.tree_, nullptr);
    }
    return *this;
  }
  TSNode root() const { return ts_tree_root_node(tree_); }
  explicit operator bool() const { return tree_ != nullptr; }
  void reset() {
    if (tree_) ts_tree_delete(tree_);
    tree_ = nullptr;
  }

 private:
  TSTree* tree_ = nullptr;
};

// The kind names and field ids of one grammar, read from it once and kept for
// the life of the process, so that a node's kind costs a table lookup instead
// of a strlen and a field costs no scan of the grammar's field names.
class Grammar {
 public:
  static const Grammar& of(const TSLanguage* language);

  // ts_node_symbol gives the public symbol, which the grammar generator picks
  // among the symbols of the same name and namedness, so its name is the text
  // ts_node_type gives.
  std::string_view kind(TSSymbol symbol) const {
    return symbol < kinds_.size() ? kinds_[symbol] : kind_beyond_table(symbol);
  }
  bool is_named(TSSymbol symbol) const { return symbol < named_.size() ? named_[symbol] : true; }
  // 0 when the grammar has no field of that name.
  TSFieldId field_id(std::string_view name) const;

 private:
  explicit Grammar(const TSLanguage* language);
  std::string_view kind_beyond_table(TSSymbol symbol) const;

  const TSLanguage* language_;
  std::vector<std::string_view> kinds_;
  std::vector<bool> named_;
  std::vector<std::pair<std::string_view, TSFieldId>> fields_;  // sorted by name
};

inline std::string_view kind(TSNode node) {
  return Grammar::of(ts_node_language(node)).kind(ts_node_symbol(node));
}

// Field child by name; a null node when absent.
inline TSNode field(TSNode node, std::string_view name) {
  TSFieldId id = Grammar::of(ts_node_language(node)).field_id(name);
  return id == 0 ? TSNode{} : ts_node_child_by_field_id(node, id);
}

// Where a walk found a node: its parent and grandparent (null nodes above the
// walk's root) and, for a named node, its position among the parent's named
// children.
struct Place {
  TSNode parent{};
  TSNode grandparent{};
  std::optional<std::uint32_t> named_index;
};

// A pre-order walk of a subtree, root included: a node before its children,
// children (named and anonymous) in document order, a whole subtree before the
// next sibling. One tree cursor and one path of ancestors keep its place, both
// on the heap, so nesting depth costs no native stack and a step allocates
// nothing once the path has grown.
class Walk {
 public:
  explicit Walk(TSNode root);

  TSNode node() const { return node_; }
  std::string_view kind() const { return grammar_.kind(symbol_); }
  bool is_named() const { return grammar_.is_named(symbol_); }
  // 0 at the walk's root.
  std::size_t depth() const { return path_.size(); }
  Place place() const;

  // Moves to the next node; with enter false the current node's subtree is
  // passed over. False when the walk is done.
  bool next(bool enter = true);
  // Passes over the rest of the parent's subtree.
  bool next_after_parent();

 private:
  struct Level {
    TSNode node;
    std::uint32_t named_seen;
  };
  void arrive();

  Cursor cursor_;
  const Grammar& grammar_;
  std::vector<Level> path_;
  TSNode node_;
  TSSymbol symbol_ = 0;
  std::optional<std::uint32_t> named_index_;
};

// Calls visit(child) on each child, named and anonymous, in document order,
// until it returns true; returns that child, or a null node.
template <class Visit>
TSNode find_child(TSNode node, Visit&& visit) {
  if (ts_node_child_count(node) == 0) return TSNode{};
  Cursor cursor(node);
  if (!ts_tree_cursor_goto_first_child(cursor.get())) return TSNode{};
  do {
    TSNode child = ts_tree_cursor_current_node(cursor.get());
    if (visit(child)) return child;
  } while (ts_tree_cursor_goto_next_sibling(cursor.get()));
  return TSNode{};
}

// Calls visit(child) on each child, named and anonymous, in document order.
template <class Visit>
void for_each_child(TSNode node, Visit&& visit) {
  find_child(node, [&visit](TSNode child) {
    visit(child);
    return false;
  });
}

// The first of all children whose kind is `kind`; a null node when none.
TSNode first_child_of_kind(TSNode node, std::string_view kind);

// --- text helpers -------------------------------------------------------

bool is_utf8(std::string_view text);

// The node's source slice; absent when it is not valid UTF-8.
std::optional<std::string_view> node_text(TSNode node, std::string_view source);

// Decodes one code point of valid UTF-8 at text[pos]; returns its length in
// bytes and stores the code point. Invalid bytes count as one byte each and
// decode to U+FFFD, which is not whitespace.
std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& cp);

// The Unicode White_Space property (25 code points).
bool is_whitespace(char32_t cp);

// Removes White_Space code points from both ends.
std::string_view trim(std::string_view text);

}  // namespace query
