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
  void reset() {
    if (tree_) ts_tree_delete(tree_);
    tree_ = nullptr;
  }

 private:
  TSTree* tree_ = nullptr;
};

inline std::string_view kind(TSNode node) { return ts_node_type(node); }

// Field child by name; a null node when absent.
inline TSNode field(TSNode node, std::string_view name) {
  return ts_node_child_by_field_name(node, name.data(), static_cast<uint32_t>(name.size()));
}

// All children, named and anonymous, in document order.
std::vector<TSNode> children(TSNode node);
// Named children only, in document order.
std::vector<TSNode> named_children(TSNode node);

// Appends the node's children to the stack, last child first.
void push_children_reversed(TSNode node, std::vector<TSNode>& stack);

template <class Pred>
std::vector<TSNode> find_descendants(TSNode root, Pred&& pred) {
  std::vector<TSNode> found;
  std::vector<TSNode> stack{root};
  while (!stack.empty()) {
    TSNode node = stack.back();
    stack.pop_back();
    if (pred(node)) found.push_back(node);
    push_children_reversed(node, stack);
  }
  return found;
}

template <class Pred>
std::optional<TSNode> find_first_descendant(TSNode root, Pred&& pred) {
  std::vector<TSNode> stack{root};
  while (!stack.empty()) {
    TSNode node = stack.back();
    stack.pop_back();
    if (pred(node)) return node;
    push_children_reversed(node, stack);
  }
  return std::nullopt;
}

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
