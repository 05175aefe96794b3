// Control-flow graph of one C, C++ or Rust function.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <tree_sitter/api.h>

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

std::optional<FunctionCfg> build_function_cfg(TSNode function, std::string_view language_key);

}  // namespace cfg
