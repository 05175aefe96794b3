#include "fingerprint.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "calls.h"
#include "query.h"
#include "registry.h"

namespace fingerprint {

namespace {

// Little-endian load of n <= 8 bytes.
std::uint64_t load_le(const unsigned char* p, std::size_t n) {
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, p, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) value |= std::uint64_t{p[i]} << (8 * i);
  }
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
  // The state lives in locals: the input bytes may alias the members, which
  // would otherwise be reloaded after every load.
  std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  auto compress = [&](std::uint64_t m) {
    v3 ^= m;
    sip_round(v0, v1, v2, v3);
    v0 ^= m;
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
  v0_ = v0, v1_ = v1, v2_ = v2, v3_ = v3;
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

// The text of the first of the return-type fields that has valid UTF-8 text.
std::optional<std::string_view> return_type_text(TSNode node, std::string_view source, parse::Work& work) {
  for (std::string_view field : {"return_type", "result", "type"}) {
    TSNode child = query::field(node, field);
    if (ts_node_is_null(child)) continue;
    std::size_t start = ts_node_start_byte(child), end = ts_node_end_byte(child);
    if (start > end || end > source.size()) {
      throw registry::InternalError("return-type node lies outside the source");
    }
    work.spend(end - start);
    std::string_view text = source.substr(start, end - start);
    if (query::is_utf8(text)) return text;
  }
  return std::nullopt;
}

// A candidate whose subtree holds the current node of the walk.
struct Open {
  TSNode node;
  query::Place place;
  std::size_t depth;
  std::size_t slot;          // its place in candidate order
  std::uint64_t first_node;  // pre-order number of the candidate node
  std::size_t pending_from;  // where its part of the pending bytes starts
  SipHasher13 hasher;
};

// The stream pieces that the open candidates have not been fed yet. A
// candidate opened later than another shares the tail of its stream, so the
// pieces are gathered once and each candidate takes its part in one call when
// it closes or when enough bytes have gathered.
class Pending {
 public:
  std::size_t size() const { return bytes_.size(); }
  void add(std::string_view kind, std::uint64_t child_count) {
    bytes_.insert(bytes_.end(), kind.begin(), kind.end());
    bytes_.push_back(kSeparator);
    for (std::size_t i = 0; i < 8; ++i) bytes_.push_back(static_cast<unsigned char>(child_count >> (8 * i)));
  }
  void feed(Open& candidate) const {
    candidate.hasher.write(bytes_.data() + candidate.pending_from, bytes_.size() - candidate.pending_from);
    candidate.pending_from = bytes_.size();
  }
  void feed_when_full(std::vector<Open>& open) {
    if (bytes_.size() < 8192) return;
    for (Open& candidate : open) {
      feed(candidate);
      candidate.pending_from = 0;
    }
    bytes_.clear();
  }

 private:
  std::vector<unsigned char> bytes_;
};

}  // namespace

// One walk over the tree: every node's piece of the stream goes to each open
// candidate, so a nested candidate's nodes are visited once however many
// candidates enclose them. A subtree is a run of consecutive pre-order
// numbers, which gives node_count.
std::vector<Fingerprint> function_fingerprints(TSNode root, std::string_view source,
                                               std::uint64_t min_nodes, parse::Work& work) {
  std::vector<std::optional<Fingerprint>> found;
  std::vector<Open> open;
  Pending pending;
  std::uint64_t visited = 0;
  auto close = [&]() {
    Open& candidate = open.back();
    pending.feed(candidate);
    if (auto text = return_type_text(candidate.node, source, work)) {
      candidate.hasher.write(text->data(), text->size());
      candidate.hasher.write(&kSeparator, 1);
    }
    std::uint64_t node_count = visited - candidate.first_node;
    if (node_count >= min_nodes) {
      TSNode node = candidate.node;
      TSPoint start = ts_node_start_point(node), end = ts_node_end_point(node);
      std::optional<std::string> name;
      if (auto text = calls::get_function_name(node, candidate.place, source, work)) name.emplace(*text);
      found[candidate.slot] = Fingerprint{std::move(name), query::kind(node), candidate.hasher.finish(),
                                          node_count, ts_node_start_byte(node), ts_node_end_byte(node),
                                          std::uint64_t{start.row} + 1, std::uint64_t{end.row} + 1};
    }
    open.pop_back();
  };
  query::Walk walk(root);
  do {
    std::size_t depth = walk.depth();
    while (!open.empty() && open.back().depth >= depth) close();
    std::string_view kind = walk.kind();
    if (calls::is_function_kind(kind)) {
      open.push_back({walk.node(), walk.place(), depth, found.size(), visited, pending.size(), {}});
      found.emplace_back();
    }
    ++visited;
    if (open.empty()) continue;
    work.spend(open.size());
    pending.add(kind, ts_node_child_count(walk.node()));
    pending.feed_when_full(open);
  } while (walk.next());
  while (!open.empty()) close();
  std::vector<Fingerprint> out;
  out.reserve(found.size());
  for (std::optional<Fingerprint>& fp : found) {
    if (fp) out.push_back(std::move(*fp));
  }
  return out;
}

}  // namespace fingerprint
