// Control-flow graph of one C, C++ or Rust function.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include <tree_sitter/api.h>

#include "parse.h"
#include "query.h"

namespace cfg {

enum class CfgEdge : std::uint8_t {
  Fallthrough = 0,
  TrueBranch = 1,
  FalseBranch = 2,
  BackEdge = 3,
  Return = 4,
  Break = 5,
  Continue = 6,
};

inline constexpr std::array<std::string_view, 7> EDGE_LABELS = {
    "fallthrough", "true_branch", "false_branch", "back_edge", "return", "break", "continue"};

using Range = std::pair<std::uint64_t, std::uint64_t>;

struct BasicBlock {
  std::uint64_t id;
  std::vector<Range> statements;
  Range byte_range;
  std::optional<Range> condition_range;
};

struct Edge {
  std::uint64_t from;
  std::uint64_t to;
  CfgEdge kind;
};

struct FunctionCfg {
  std::vector<BasicBlock> blocks;
  std::vector<Edge> edges;
  std::uint64_t entry = 0;
  std::vector<std::uint64_t> exits;
};

// Node kinds of the constructs the builder understands, per language; every
// other node where a statement stands is a plain statement.
using KindList = std::span<const std::string_view>;

struct CfgKinds {
  KindList if_kinds;
  KindList while_kinds;
  KindList for_kinds;
  KindList loop_kinds;
  KindList do_while_kinds;
  KindList return_kinds;
  KindList break_kinds;
  KindList continue_kinds;
  KindList block_kinds;
  KindList expression_wrapper_kinds;
  KindList else_wrapper_kinds;
};

extern const CfgKinds C_CFG_KINDS;     // "c" and "cpp"
extern const CfgKinds RUST_CFG_KINDS;  // "rust"

// One entry of the builder's work list.
struct Task {
  struct Visit {
    TSNode node;
  };
  struct AfterThen {
    std::uint64_t condition_block;
    TSNode if_node;
  };
  struct Join {
    std::uint64_t then_end;
    TSNode if_node;
  };
  struct WhileEnd {
    std::uint64_t head;
    std::uint64_t exit;
  };
  struct ForEnd {
    std::uint64_t head;
    std::uint64_t exit;
    TSNode for_node;
  };
  struct LoopEnd {
    std::uint64_t body;
    std::uint64_t exit;
  };
  struct DoWhileEnd {
    std::uint64_t body;
    std::uint64_t condition_block;
    std::uint64_t exit;
    TSNode do_node;
  };

  std::variant<Visit, AfterThen, Join, WhileEnd, ForEnd, LoopEnd, DoWhileEnd> step;
};

// Working state of one build; a work-list machine, so nesting depth costs
// heap, not C stack.
class CfgBuilder {
 public:
  // Block 0 starts at the body.
  CfgBuilder(const CfgKinds& kinds, TSNode body);

  std::uint64_t new_block(std::uint64_t pos);
  void append_stmt(TSNode node);
  void add_edge(std::uint64_t from, std::uint64_t to, CfgEdge kind);
  void push_block_children(TSNode node);

  // Walks the node and everything the work list reaches from it.
  void run(TSNode body);
  FunctionCfg finish() &&;

 private:
  struct EdgeHash {
    std::size_t operator()(const Edge& e) const noexcept;
  };
  struct EdgeEqual {
    bool operator()(const Edge& a, const Edge& b) const noexcept {
      return a.from == b.from && a.to == b.to && a.kind == b.kind;
    }
  };
  struct LoopTargets {
    std::uint64_t continue_target;
    std::uint64_t break_target;
  };

  // The node's named children in document order, in a buffer that the next
  // call reuses.
  const std::vector<TSNode>& named_children(TSNode node);
  void check_id(std::uint64_t id) const;
  BasicBlock& block(std::uint64_t id);
  bool is_terminated(std::uint64_t id) const;
  void mark_terminated(std::uint64_t id);
  void set_condition(std::uint64_t id, TSNode condition);
  void push_visit(TSNode node);
  LoopTargets pop_loop();

  void visit(TSNode node);
  void visit_if(TSNode node);
  void after_then(const Task::AfterThen& task);
  void push_alternative(TSNode node);
  void join(const Task::Join& task);
  void visit_while_or_for(TSNode node, bool is_for);
  void close_loop(std::uint64_t back_target, std::uint64_t exit);
  void for_end(const Task::ForEnd& task);
  void visit_loop(TSNode node);
  void visit_do_while(TSNode node);
  void do_while_end(const Task::DoWhileEnd& task);
  void visit_return(TSNode node);
  void visit_jump(TSNode node, bool is_break);

  std::vector<BasicBlock> blocks_;
  std::vector<Edge> edges_;
  std::unordered_set<Edge, EdgeHash, EdgeEqual> edge_set_;
  std::vector<bool> terminated_;
  std::vector<LoopTargets> loop_stack_;
  const CfgKinds& kinds_;
  std::uint64_t current_block_ = 0;
  std::vector<Task> work_;
  // Reused by every block: gathering children allocates nothing per block.
  query::Cursor cursor_;
  std::vector<TSNode> children_;
};

// The graph of the function's "body"; absent for keys other than "c", "cpp"
// and "rust", and for a node without a body.
std::optional<FunctionCfg> build_function_cfg(TSNode function, std::string_view language_key);

// The graph of the first function in pre-order whose name is `name` and for
// which build_function_cfg gives one. Spends a step for each byte of the
// names it reads.
std::optional<FunctionCfg> function_cfg(TSNode root, std::string_view source, std::string_view name,
                                        std::string_view language_key, parse::Work& work);

}  // namespace cfg
