// Structural fingerprints of function subtrees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

#include "parse.h"

namespace fingerprint {

// Incremental SipHash-1-3.
class SipHasher13 {
 public:
  SipHasher13(std::uint64_t k0 = 0, std::uint64_t k1 = 0);
  void write(const void* data, std::size_t len);
  std::uint64_t finish() const;

 private:
  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;
  std::size_t ntail_ = 0;
  std::uint64_t length_ = 0;
};

struct Fingerprint {
  std::optional<std::string> name;
  std::string_view kind;  // static: owned by the grammar
  std::uint64_t hash;
  std::uint64_t node_count;
  std::uint64_t start_byte;
  std::uint64_t end_byte;
  std::uint64_t start_line;
  std::uint64_t end_line;
};

// Spends a step for each node fed to each candidate's hash and for each byte
// of a return type or name read.
std::vector<Fingerprint> function_fingerprints(TSNode root, std::string_view source,
                                               std::uint64_t min_nodes, parse::Work& work);

}  // namespace fingerprint
