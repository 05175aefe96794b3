// The binding layer: module definition, module functions and result classes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "calls.h"
#include "cfg.h"
#include "query.h"
#include "regions.h"
#include "registry.h"

namespace py {

// Binding-side records of the result classes.
struct PyLanguageInfo {
  std::string name;
  std::string key;
  std::vector<std::string> extensions;
  std::vector<std::string> explicit_only;
};

using PyCallEdge = calls::CallEdge;
using PyBasicBlock = cfg::BasicBlock;
using PyIgnoredRegion = regions::IgnoredRegion;

struct PyFunctionCfg {
  std::vector<PyBasicBlock> blocks;
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> edges;
  std::uint64_t entry;
  std::vector<std::uint64_t> exits;
};

struct PyFingerprint {
  std::optional<std::string> name;
  std::string kind;
  std::uint64_t hash;
  std::uint64_t node_count;
  std::uint64_t start_byte;
  std::uint64_t end_byte;
  std::uint64_t start_line;
  std::uint64_t end_line;
};

struct PySuppression {
  std::uint64_t comment_line;
  std::optional<std::uint64_t> target_line;
  std::string tool;
  std::string rule;
};

// Comment syntax of a language-table key; throws ValueError.
registry::SlocMode sloc_mode_for_key(std::string_view key);

}  // namespace py
