// The binding layer: module definition, module functions and result classes.
#pragma once

#include <cstdint>
#include <exception>
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

// The module's own ValueError, raised to Python with its whole message: the
// message may quote the caller's text, NULs included, which what() cuts off.
struct ValueError : std::exception {
  explicit ValueError(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }
  std::string message;
};

// Thrown when an interpreter call failed and left its exception pending.
struct PythonError {};

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

// What a parse may use, or did use: calls of the runtime's progress callback
// (one per hundred parse operations), bytes the runtime allocated, and the
// calling thread's CPU time.
struct ParseCost {
  std::uint64_t progress_calls;
  std::uint64_t allocated_bytes;
  std::uint64_t cpu_ns;
};

// The allowance of a parse of that many source bytes.
ParseCost parse_limits(std::uint64_t source_bytes);

// Whether a parse runs the interpreter's signal handlers as it goes; only a
// caller that holds the interpreter lock may ask for it.
enum class Signals { Checked, Ignored };

// Parses the whole source with the key's grammar. Throws ValueError, also
// when the parse goes past its allowance, and PythonError when a signal
// handler raised. Reports what the parse used through `used` when given.
query::Tree parse(std::string_view language_key, std::string_view source, Signals signals = Signals::Checked,
                  ParseCost* used = nullptr);

// Comment syntax of a language-table key; throws ValueError.
registry::SlocMode sloc_mode_for_key(std::string_view key);

}  // namespace py
