// The one parse path of the tree-based analyses, and the allowance that
// bounds the cost of each parse.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "query.h"

namespace parse {

// The module's own ValueError, raised to Python with its whole message: the
// message may quote the caller's text, NULs included, which what() cuts off.
struct ValueError : std::exception {
  explicit ValueError(std::string text) : message(std::move(text)) {}
  const char* what() const noexcept override { return message.c_str(); }
  std::string message;
};

// Thrown when an interpreter call failed and left its exception pending.
struct PythonError {};

// What a parse may use, or did use: calls of the runtime's progress callback
// (one per hundred parse operations), bytes the runtime allocated, the most
// bytes of runtime blocks (headers included) alive at once, and the calling
// thread's CPU time.
struct Cost {
  std::uint64_t progress_calls;
  std::uint64_t allocated_bytes;
  std::uint64_t live_bytes;
  std::uint64_t cpu_ns;
};

// The calling thread's CPU time, in nanoseconds.
std::uint64_t cpu_ns();

// The allowance of a parse of that many source bytes.
Cost limits(std::uint64_t source_bytes);

// Whether a parse runs the interpreter's signal handlers as it goes; only a
// caller that holds the interpreter lock may ask for it.
enum class Signals { Checked, Ignored };

// Parses the whole source with the key's grammar. Throws ValueError, also
// when the parse goes past its allowance or memory runs out, and PythonError
// when a signal handler raised. Reports what the parse used through `used`
// when given.
query::Tree parse(std::string_view language_key, std::string_view source, Signals signals = Signals::Checked,
                  Cost* used = nullptr);

// The allowance of the analyses that follow a parse, counted in steps of
// work rather than timed, so that whether a source is answered does not
// depend on the machine or its load. A step is one syntax node fed to the
// hash of one enclosing function, one byte of text read or copied into a
// result, one enclosing function looked at; the records that an analysis
// keeps for each enclosing function count several. What grows with the
// nesting of the source or with texts that hold one another is counted; one
// pass over the tree is bounded by the parse and is not.
std::uint64_t work_limit(std::uint64_t source_bytes);

// The work of one call's analyses of one source. Running past the allowance
// throws ValueError; a signal handler that raises, PythonError.
class Work {
 public:
  Work(std::string_view function, std::uint64_t source_bytes, Signals signals = Signals::Checked);
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;

  void spend(std::uint64_t steps) {
    used_ += steps;
    if (used_ >= next_checkpoint_) checkpoint();
  }
  std::uint64_t used() const { return used_; }

 private:
  void checkpoint();

  std::string_view function_;
  std::uint64_t source_bytes_;
  std::uint64_t limit_;
  Signals signals_;
  std::uint64_t used_ = 0;
  std::uint64_t next_checkpoint_ = 0;
  std::uint64_t tick_at_last_check_ = 0;
};

}  // namespace parse
