#include "parse.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "registry.h"

namespace parse {

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define VELBROOK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELBROOK_ASAN 1
#endif
#endif

// A parse may use this much per source byte plus a fixed allowance, in
// progress calls, in bytes the runtime allocates, in bytes it holds at once
// and in CPU time, and is abandoned past any of them. During error recovery
// the work of one step grows with the input, and some single steps allocate
// without bound, so steps alone bound neither time nor memory. The slowest
// and largest real sources stay far below each (benchmarks/parse_cost.py).
constexpr std::uint64_t PROGRESS_CALLS_PER_BYTE = 8;
constexpr std::uint64_t PROGRESS_CALLS_PER_PARSE = 2000;
constexpr std::uint64_t ALLOCATED_BYTES_PER_BYTE = 6 * 1024;
constexpr std::uint64_t ALLOCATED_BYTES_PER_PARSE = 16u << 20;
// The bytes held at once are what bounds a parse's memory: a source of up to
// LARGE_SOURCE_BYTES may hold 512 bytes a byte, so that one of 1 MiB holds at
// most 768 MiB. The trees of real sources take up to about 150 bytes a byte,
// so each byte beyond that size may hold more, and the largest real sources
// keep ten times what they need.
constexpr std::uint64_t LIVE_BYTES_PER_PARSE = 256u << 20;
constexpr std::uint64_t LIVE_BYTES_PER_BYTE = 512;
constexpr std::uint64_t LARGE_SOURCE_BYTES = 1u << 20;
constexpr std::uint64_t LIVE_BYTES_PER_LARGE_BYTE = 4096;
#ifdef VELBROOK_ASAN
constexpr std::uint64_t CPU_SCALE = 5;  // the sanitizers' slowdown
#else
constexpr std::uint64_t CPU_SCALE = 1;
#endif
constexpr std::uint64_t CPU_NS_PER_BYTE = 23'000 * CPU_SCALE;
constexpr std::uint64_t CPU_NS_PER_PARSE = 250'000'000 * CPU_SCALE;

// The analyses after a parse may take so many steps per source byte plus a
// fixed allowance (see Work in parse.h). Real sources need at most about 4
// steps a byte, and the smallest files, which the fixed allowance covers,
// some more; each keeps over forty times what it needs
// (benchmarks/parse_cost.py). A step costs at most about 25 ns or 6 bytes of
// results, so that a source of 1 MiB is analysed within about 2 s and 450 MB.
constexpr std::uint64_t WORK_STEPS_PER_BYTE = 64;
constexpr std::uint64_t WORK_STEPS_PER_PARSE = 4u << 20;
// Steps between two looks at the clock, which decides when the signal
// handlers run.
constexpr std::uint64_t WORK_STEPS_PER_CHECK = 1u << 16;

// The lexer asks for the source a piece at a time, so that even a scan that
// never ends a token comes back to read_source, where the parse can stop.
constexpr std::uint32_t PIECE_BYTES = 4096;

constexpr std::uint64_t MAX_SOURCE_BYTES = 0xFFFFFFFFull;

// Every block the runtime allocates (the grammars' scanners included) starts
// with a header that links it into a list: that of the parse under way, or,
// outside any parse, the list of the blocks of trees and cursors. When a parse
// goes past its allowance, a checkpoint (the progress and read callbacks and
// the allocator) jumps back into parse(), which frees what the parse had
// allocated, its parser included: no runtime code runs on the state that the
// jump left behind, however far into one long operation it was.
struct alignas(16) Block {
  Block* prev;
  Block* next;
  std::size_t size;  // as asked for, the header not included

  // The bytes the block takes, its header included.
  std::size_t footprint() const { return sizeof(Block) + size; }
};

class BlockList {
 public:
  BlockList() = default;
  BlockList(const BlockList&) = delete;
  BlockList& operator=(const BlockList&) = delete;

  void add(Block* block) {
    block->prev = &head_;
    block->next = head_.next;
    head_.next->prev = block;
    head_.next = block;
  }

  static void remove(Block* block) {
    block->prev->next = block->next;
    block->next->prev = block->prev;
  }

  // A block that realloc moved: its neighbours point at its new place.
  static void moved(Block* block) {
    block->prev->next = block;
    block->next->prev = block;
  }

  void move_all_to(BlockList& other) {
    if (head_.next == &head_) return;
    head_.next->prev = &other.head_;
    head_.prev->next = other.head_.next;
    other.head_.next->prev = head_.prev;
    other.head_.next = head_.next;
    head_.next = head_.prev = &head_;
  }

  // Frees every block; returns the bytes they held, headers included.
  std::uint64_t free_all(void (*free_block)(Block*)) {
    std::uint64_t bytes = 0;
    while (head_.next != &head_) {
      Block* block = head_.next;
      head_.next = block->next;
      bytes += block->footprint();
      free_block(block);
    }
    head_.prev = &head_;
    return bytes;
  }

 private:
  Block head_{&head_, &head_, 0};
};

enum class Outcome { Parsing, Refused, Interrupted };

// Read state and cost account of one parse; it lives on the stack of parse().
struct ParseState {
  std::string_view source;
  const char* last_piece;
  Cost limits;
  Signals signals;
  std::uint64_t progress_calls;
  std::uint64_t allocated_at_start;
  std::uint64_t live_at_start;
  std::uint64_t live_peak;  // above live_at_start
  std::uint64_t cpu_at_start;
  std::uint64_t tick_at_last_check;
  Outcome outcome;
  bool armed;  // inside run_parse, where a checkpoint may jump back
  BlockList blocks;
  std::jmp_buf abandon_point;
};

// Every runtime call is made with the interpreter lock held (or, in the fuzz
// target, on its one thread), so these need no atomics.
std::uint64_t runtime_allocated = 0;  // bytes the runtime asked for, ever
std::uint64_t runtime_live = 0;       // bytes of its blocks alive now, headers included
BlockList blocks_outside_parses;
ParseState* current_parse = nullptr;  // the parse whose list new blocks join

[[noreturn]] void abandon(ParseState& state, Outcome outcome) {
  state.outcome = outcome;
  std::longjmp(state.abandon_point, 1);
}

ParseState* armed_parse() { return current_parse && current_parse->armed ? current_parse : nullptr; }

// A parse that memory runs out on is refused; anywhere else, as with the
// runtime's own allocator, running out of memory ends the process.
[[noreturn]] void out_of_memory(std::size_t size) {
  if (ParseState* state = armed_parse()) abandon(*state, Outcome::Refused);
  std::fprintf(stderr, "velbrook: failed to allocate %zu bytes\n", size);
  std::abort();
}

// The runtime allocates the many small blocks of a tree through the
// interpreter's allocator, which serves them faster than the C library's.
// A sanitizer build keeps the C library's allocator, whose blocks the
// sanitizer watches; so does the fuzz target, which has no interpreter.
#ifdef VELBROOK_ASAN
void* block_malloc(std::size_t size) { return std::malloc(size); }
void* block_calloc(std::size_t size) { return std::calloc(1, size); }
void* block_realloc(void* block, std::size_t size) { return std::realloc(block, size); }
void block_free(Block* block) { std::free(block); }
#else
void* block_malloc(std::size_t size) { return PyMem_Malloc(size); }
void* block_calloc(std::size_t size) { return PyMem_Calloc(1, size); }
void* block_realloc(void* block, std::size_t size) { return PyMem_Realloc(block, size); }
void block_free(Block* block) { PyMem_Free(block); }
#endif

// Counts a request for a block of `size` bytes that replaces one of
// `old_footprint` (0 for a new block) against the parse under way, before
// anything is allocated, so that a jump leaves every list whole. A block that
// grows counts with its new size: geometric growth adds up to at most twice
// the final size. Returns the footprint of the new block.
std::size_t charge(std::size_t size, std::size_t old_footprint) {
  if (size > SIZE_MAX - sizeof(Block)) out_of_memory(size);
  std::size_t bytes = sizeof(Block) + size;
  runtime_allocated += size;
  if (ParseState* state = armed_parse()) {
    // Signed: a signal handler may have freed blocks older than the parse.
    auto grown = static_cast<std::int64_t>(runtime_live + bytes - old_footprint - state->live_at_start);
    if (runtime_allocated - state->allocated_at_start > state->limits.allocated_bytes ||
        grown > static_cast<std::int64_t>(state->limits.live_bytes)) {
      abandon(*state, Outcome::Refused);
    }
  }
  return bytes;
}

// Accounts for a block that now holds `size` bytes in place of `old_footprint`.
void* settled(Block* block, std::size_t size, std::size_t old_footprint) {
  block->size = size;
  runtime_live += block->footprint() - old_footprint;
  if (current_parse && runtime_live > current_parse->live_at_start) {
    current_parse->live_peak = std::max(current_parse->live_peak, runtime_live - current_parse->live_at_start);
  }
  return block + 1;
}

void* joined(void* memory, std::size_t size) {
  if (!memory) out_of_memory(size);
  auto* block = static_cast<Block*>(memory);
  (current_parse ? current_parse->blocks : blocks_outside_parses).add(block);
  return settled(block, size, 0);
}

void* runtime_malloc(std::size_t size) { return joined(block_malloc(charge(size, 0)), size); }

void* runtime_calloc(std::size_t count, std::size_t size) {
  std::size_t bytes = 0;
  if (__builtin_mul_overflow(count, size, &bytes)) out_of_memory(SIZE_MAX);
  return joined(block_calloc(charge(bytes, 0)), bytes);
}

void* runtime_realloc(void* data, std::size_t size) {
  if (!data) return runtime_malloc(size);
  Block* block = static_cast<Block*>(data) - 1;
  std::size_t old_footprint = block->footprint();
  auto* moved = static_cast<Block*>(block_realloc(block, charge(size, old_footprint)));
  if (!moved) out_of_memory(size);
  if (moved != block) BlockList::moved(moved);
  return settled(moved, size, old_footprint);
}

void runtime_free(void* data) {
  if (!data) return;
  Block* block = static_cast<Block*>(data) - 1;
  BlockList::remove(block);
  runtime_live -= block->footprint();
  block_free(block);
}

// Installed before the runtime's first allocation, which is the first parser's.
void install_runtime_allocator() {
  static const bool installed = (ts_set_allocator(runtime_malloc, runtime_calloc, runtime_realloc, runtime_free), true);
  (void)installed;
}

std::uint64_t nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// A clock that changes every few milliseconds and costs a read of memory:
// Linux's coarse clock, elsewhere the monotonic clock (read in user space on
// macOS) cut to ticks of 4 ms.
std::uint64_t tick() {
#ifdef CLOCK_MONOTONIC_COARSE
  return nanoseconds(CLOCK_MONOTONIC_COARSE);
#else
  return nanoseconds(CLOCK_MONOTONIC) >> 22;
#endif
}

// The thread's CPU clock costs a system call; wall time never runs slower
// than the thread's CPU time, so the CPU clock and the signal handlers wait
// for the next tick.
void check_time(ParseState& state) {
  std::uint64_t now = tick();
  if (now == state.tick_at_last_check) return;
  state.tick_at_last_check = now;
  if (cpu_ns() - state.cpu_at_start > state.limits.cpu_ns) abandon(state, Outcome::Refused);
  if (state.signals == Signals::Checked) {
    // Handlers run Python code, which may parse too: what they allocate is not
    // this parse's.
    current_parse = nullptr;
    int status = PyErr_CheckSignals();
    current_parse = &state;
    if (status < 0) abandon(state, Outcome::Interrupted);
  }
}

const char* read_source(void* payload, uint32_t offset, TSPoint, uint32_t* bytes_read) {
  auto* state = static_cast<ParseState*>(payload);
  check_time(*state);
  if (offset < state->source.size()) {
    state->last_piece = state->source.data() + offset;
    *bytes_read = static_cast<uint32_t>(std::min<std::uint64_t>(state->source.size() - offset, PIECE_BYTES));
  } else {
    state->last_piece = state->source.data() + state->source.size();
    *bytes_read = 0;
  }
  return state->last_piece;
}

// The runtime calls it once per hundred parse operations.
bool on_progress(TSParseState* parse_state) {
  auto* state = static_cast<ParseState*>(parse_state->payload);
  if (++state->progress_calls > state->limits.progress_calls) abandon(*state, Outcome::Refused);
  check_time(*state);
  return false;
}

// The frame that the checkpoints jump back to. Nothing in it changes after
// setjmp, so the jump leaves nothing of it undefined.
TSTree* run_parse(TSParser* parser, ParseState& state) {
  if (setjmp(state.abandon_point) != 0) {
    state.armed = false;
    return nullptr;
  }
  state.armed = true;
  TSInput input{&state, read_source, TSInputEncodingUTF8, nullptr};
  TSParseOptions options{&state, on_progress};
  TSTree* tree = ts_parser_parse_with_options(parser, nullptr, input, options);
  state.armed = false;
  return tree;
}

// While it lives, the runtime's new blocks join the parse's list; then the
// blocks left there (those of the tree) rejoin the list outside parses.
class BlockScope {
 public:
  explicit BlockScope(ParseState& state) : state_(state) { current_parse = &state; }
  ~BlockScope() {
    current_parse = nullptr;
    state_.blocks.move_all_to(blocks_outside_parses);
  }
  BlockScope(const BlockScope&) = delete;
  BlockScope& operator=(const BlockScope&) = delete;

 private:
  ParseState& state_;
};

// Owns a TSParser; releases it as the runtime expects.
class Parser {
 public:
  Parser() : parser_(ts_parser_new()) {}
  ~Parser() {
    if (!parser_) return;
    ts_parser_print_dot_graphs(parser_, -1);
    ts_parser_set_logger(parser_, TSLogger{nullptr, nullptr});
    ts_parser_delete(parser_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  TSParser* get() const { return parser_; }
  // An abandoned parser's memory is freed with its parse's blocks.
  void forget() { parser_ = nullptr; }

 private:
  TSParser* parser_;
};

// Owns a grammar handle.
class Language {
 public:
  explicit Language(const TSLanguage* language) : language_(language) {}
  ~Language() { ts_language_delete(language_); }
  Language(const Language&) = delete;
  Language& operator=(const Language&) = delete;
  const TSLanguage* get() const { return language_; }

 private:
  const TSLanguage* language_;
};

}  // namespace

std::uint64_t cpu_ns() { return nanoseconds(CLOCK_THREAD_CPUTIME_ID); }

Cost limits(std::uint64_t source_bytes) {
  return {PROGRESS_CALLS_PER_BYTE * source_bytes + PROGRESS_CALLS_PER_PARSE,
          ALLOCATED_BYTES_PER_BYTE * source_bytes + ALLOCATED_BYTES_PER_PARSE,
          LIVE_BYTES_PER_PARSE + LIVE_BYTES_PER_BYTE * std::min(source_bytes, LARGE_SOURCE_BYTES) +
              LIVE_BYTES_PER_LARGE_BYTE * (std::max(source_bytes, LARGE_SOURCE_BYTES) - LARGE_SOURCE_BYTES),
          CPU_NS_PER_BYTE * source_bytes + CPU_NS_PER_PARSE};
}

std::uint64_t work_limit(std::uint64_t source_bytes) {
  return WORK_STEPS_PER_BYTE * source_bytes + WORK_STEPS_PER_PARSE;
}

Work::Work(std::string_view function, std::uint64_t source_bytes, Signals signals)
    : function_(function),
      source_bytes_(source_bytes),
      limit_(work_limit(source_bytes)),
      signals_(signals),
      next_checkpoint_(std::min(limit_ + 1, WORK_STEPS_PER_CHECK)),
      tick_at_last_check_(tick()) {}

void Work::checkpoint() {
  if (used_ > limit_) {
    throw ValueError(std::string(function_) + ": analysing this source needs more than " + std::to_string(limit_) +
                     " steps, the allowance of a source of " + std::to_string(source_bytes_) + " bytes");
  }
  next_checkpoint_ = std::min(limit_ + 1, used_ + WORK_STEPS_PER_CHECK);
  if (signals_ == Signals::Ignored) return;
  std::uint64_t now = tick();
  if (now == tick_at_last_check_) return;
  tick_at_last_check_ = now;
  if (PyErr_CheckSignals() < 0) throw PythonError{};
}

query::Tree parse(std::string_view language_key, std::string_view source, Signals signals, Cost* used) {
  const TSLanguage* found = registry::language_for_key(language_key);
  if (!found) throw ValueError("unknown language key: " + std::string(language_key));
  Language language(found);
  if (source.size() > MAX_SOURCE_BYTES) {
    throw ValueError("source too large to parse: " + std::to_string(source.size()) +
                     " bytes; the limit is " + std::to_string(MAX_SOURCE_BYTES) + " bytes");
  }
  install_runtime_allocator();
  ParseState state{source,   nullptr, limits(source.size()), signals, 0, runtime_allocated, runtime_live, 0,
                   cpu_ns(), tick(),  Outcome::Parsing,      false,   {}, {}};
  BlockScope scope(state);
  // Declared after the grammar so that it is released first.
  Parser parser;
  uint32_t version = ts_language_abi_version(language.get());
  if (version < TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION || version > TREE_SITTER_LANGUAGE_VERSION) {
    throw ValueError("Incompatible language version " + std::to_string(version) + ". Expected minimum " +
                     std::to_string(TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION) + ", maximum " +
                     std::to_string(TREE_SITTER_LANGUAGE_VERSION));
  }
  ts_parser_set_language(parser.get(), language.get());
  query::Tree tree(run_parse(parser.get(), state));
  if (used) {
    *used = {state.progress_calls, runtime_allocated - state.allocated_at_start, state.live_peak,
             cpu_ns() - state.cpu_at_start};
  }
  if (state.outcome != Outcome::Parsing) {
    parser.forget();
    runtime_live -= state.blocks.free_all(block_free);
    // An interrupting handler's exception is pending.
    if (state.outcome == Outcome::Interrupted) throw PythonError{};
  }
  if (!tree) throw ValueError("tree-sitter failed to parse source");
  return tree;
}

}  // namespace parse
