#include "fingerprint.h"

#include <algorithm>
#include <array>
#include <bit>

#include "calls.h"
#include "query.h"
#include "registry.h"

namespace fingerprint {

namespace {

std::uint64_t load_le(const unsigned char* p, std::size_t n) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < n; ++i) value |= std::uint64_t{p[i]} << (8 * i);
  return value;
}

void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
  v0 += v1;
  v1 = std::rotl(v1, 13);
  v1 ^= v0;
  v0 = std::rotl(v0, 32);
  v2 += v3;
  v3 = std::rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = std::rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = std::rotl(v1, 17);
  v1 ^= v2;
  v2 = std::rotl(v2, 32);
}

}  // namespace

SipHasher13::SipHasher13(std::uint64_t k0, std::uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHasher13::write(const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  length_ += len;
  auto compress = [this](std::uint64_t m) {
    v3_ ^= m;
    sip_round(v0_, v1_, v2_, v3_);
    v0_ ^= m;
  };
  if (ntail_ > 0) {
    std::size_t fill = std::min(len, 8 - ntail_);
    tail_ |= load_le(p, fill) << (8 * ntail_);
    ntail_ += fill;
    p += fill;
    len -= fill;
    if (ntail_ < 8) return;
    compress(tail_);
    tail_ = 0;
    ntail_ = 0;
  }
  for (; len >= 8; p += 8, len -= 8) compress(load_le(p, 8));
  tail_ = load_le(p, len);
  ntail_ = len;
}

std::uint64_t SipHasher13::finish() const {
  std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  std::uint64_t last = (length_ & 0xff) << 56 | tail_;
  v3 ^= last;
  sip_round(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xff;
  for (int i = 0; i < 3; ++i) sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

namespace {

constexpr unsigned char kSeparator = 0xFF;

void write_node(SipHasher13& hasher, std::string_view kind, std::uint64_t child_count) {
  std::array<unsigned char, 9> tail{kSeparator};
  for (std::size_t i = 0; i < 8; ++i) tail[1 + i] = static_cast<unsigned char>(child_count >> (8 * i));
  hasher.write(kind.data(), kind.size());
  hasher.write(tail.data(), tail.size());
}

// The text of the first of the return-type fields that has valid UTF-8 text.
std::optional<std::string_view> return_type_text(TSNode node, std::string_view source) {
  for (std::string_view field : {"return_type", "result", "type"}) {
    TSNode child = query::field(node, field);
    if (ts_node_is_null(child)) continue;
    std::size_t start = ts_node_start_byte(child), end = ts_node_end_byte(child);
    if (start > end || end > source.size()) {
      throw registry::InternalError("return-type node lies outside the source");
    }
    std::string_view text = source.substr(start, end - start);
    if (query::is_utf8(text)) return text;
  }
  return std::nullopt;
}

}  // namespace

std::vector<Fingerprint> function_fingerprints(TSNode root, std::string_view source,
                                               std::uint64_t min_nodes) {
  std::vector<TSNode> candidates = query::find_descendants(
      root, [](TSNode node) { return calls::is_function_kind(query::kind(node)); });
  std::vector<Fingerprint> out;
  std::vector<TSNode> stack;
  for (TSNode candidate : candidates) {
    SipHasher13 hasher;
    std::uint64_t node_count = 0;
    stack.assign(1, candidate);
    while (!stack.empty()) {
      TSNode node = stack.back();
      stack.pop_back();
      write_node(hasher, query::kind(node), ts_node_child_count(node));
      ++node_count;
      query::push_children_reversed(node, stack);
    }
    if (auto text = return_type_text(candidate, source)) {
      hasher.write(text->data(), text->size());
      hasher.write(&kSeparator, 1);
    }
    if (node_count < min_nodes) continue;
    TSPoint start = ts_node_start_point(candidate), end = ts_node_end_point(candidate);
    out.push_back({calls::get_function_name(candidate, source), query::kind(candidate),
                   hasher.finish(), node_count, ts_node_start_byte(candidate),
                   ts_node_end_byte(candidate), std::uint64_t{start.row} + 1,
                   std::uint64_t{end.row} + 1});
  }
  return out;
}

}  // namespace fingerprint
