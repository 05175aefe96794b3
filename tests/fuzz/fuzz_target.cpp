// libFuzzer target: the parse path and every analysis behind the module
// functions, with the inputs the module gives them.
//
// An input is a language key, a line feed and the source. A str source is
// valid UTF-8 by construction, so the analyses of str sources see only
// those; import sources take any bytes.
//
// Each input runs on a thread with a stack as small as a caller's thread may
// have, so that code whose stack grows with the nesting of its input fails at
// the sizes the fuzzer makes.
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "calls.h"
#include "cfg.h"
#include "fingerprint.h"
#include "imports.h"
#include "parse.h"
#include "query.h"
#include "regions.h"
#include "suppressions.h"

namespace {

constexpr std::size_t STACK_BYTES = 256 * 1024;

constexpr registry::SlocMode SLOC_MODES[] = {registry::SlocMode::CStyle, registry::SlocMode::Hash,
                                             registry::SlocMode::DoubleDash, registry::SlocMode::Lua,
                                             registry::SlocMode::Bang};

// Graphs of this many function names at most: each looks its function up
// from the root, as function_cfg() does.
constexpr std::size_t CFG_NAMES = 16;

// Runs one analysis with the work allowance of a module function; a refusal
// is an answer like any other.
template <class Analysis>
void analyse(std::string_view source, Analysis&& analysis) {
  parse::Work work("fuzz", source.size(), parse::Signals::Ignored);
  try {
    analysis(work);
  } catch (const parse::ValueError&) {
  }
}

void analyse_tree(TSNode root, std::string_view source, std::string_view key) {
  analyse(source, [&](parse::Work& work) { calls::call_edges(root, source, work); });
  std::vector<std::string> names;
  analyse(source, [&](parse::Work& work) {
    for (const fingerprint::Fingerprint& fp : fingerprint::function_fingerprints(root, source, 0, work)) {
      if (fp.name && names.size() < CFG_NAMES && std::find(names.begin(), names.end(), *fp.name) == names.end()) {
        names.push_back(*fp.name);
      }
    }
  });
  for (const std::string& name : names) {
    analyse(source, [&](parse::Work& work) { cfg::function_cfg(root, source, name, key, work); });
  }
}

void fuzz_one(std::string_view input) {
  std::size_t line_end = input.find('\n');
  if (line_end == std::string_view::npos) return;
  std::string_view key = input.substr(0, line_end);
  std::string_view source = input.substr(line_end + 1);
  const bool text = query::is_utf8(source);
  if (text) {
    for (registry::SlocMode mode : SLOC_MODES) {
      regions::ignored_regions(source, mode);
      suppressions::suppressions(source, mode);
    }
  }
  query::Tree tree;
  try {
    tree = parse::parse(key, source, parse::Signals::Ignored);  // no interpreter here
  } catch (const parse::ValueError&) {
    return;  // an unknown key or a parse cut off at its allowance
  }
  analyse(source, [&](parse::Work& work) {
    std::vector<std::string> imports;
    imports::walk(tree.root(), source, key, imports, work);
  });
  if (text) analyse_tree(tree.root(), source, key);
}

void* run(void* input) {
  fuzz_one(*static_cast<std::string_view*>(input));
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  pthread_attr_t attr;
  pthread_t thread;
  if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, STACK_BYTES) != 0 ||
      pthread_create(&thread, &attr, run, &input) != 0 || pthread_join(thread, nullptr) != 0) {
    std::fputs("fuzz target: could not run an input on a thread of its own\n", stderr);
    std::abort();
  }
  pthread_attr_destroy(&attr);
  return 0;
}
