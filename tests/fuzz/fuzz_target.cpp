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

// What an analysis may cost in CPU time: a multiple of its parse's (each
// analysis is one pass over the tree and the source), so much per step it
// counts, and a fixed time. One that takes longer does work that grows faster
// than the source without counting it, which the allowance would not bound.
// The first 32 kB of real files, 100 of each key, stay fifteen times below
// (VELBROOK_FUZZ_COSTS=1 prints each analysis's cost); an uncounted walk per
// nested function or text per nested call goes past it from a few kB.
constexpr std::uint64_t ANALYSIS_NS_PER_PARSE_NS = 10;
constexpr std::uint64_t ANALYSIS_NS_PER_STEP = 500;
constexpr std::uint64_t ANALYSIS_NS_FIXED = 10'000'000;

// Runs one analysis with the work allowance of a module function (a refusal
// is an answer like any other), and stops on one that costs more than its
// parse and its steps account for.
template <class Analysis>
void analyse(const char* name, std::string_view source, std::uint64_t parse_ns, Analysis&& analysis) {
  parse::Work work(name, source.size(), parse::Signals::Ignored);
  std::uint64_t start = parse::cpu_ns();
  try {
    analysis(work);
  } catch (const parse::ValueError&) {
  }
  auto ns = static_cast<unsigned long long>(parse::cpu_ns() - start);
  auto steps = static_cast<unsigned long long>(work.used());
  if (std::getenv("VELBROOK_FUZZ_COSTS")) {
    std::fprintf(stderr, "cost\t%s\t%zu\t%llu\t%llu\t%llu\n", name, source.size(),
                 static_cast<unsigned long long>(parse_ns), steps, ns);
  }
  if (ns > ANALYSIS_NS_FIXED + ANALYSIS_NS_PER_PARSE_NS * parse_ns + ANALYSIS_NS_PER_STEP * steps) {
    std::fprintf(stderr,
                 "fuzz target: %s took %.1f ms of CPU after a parse of %.1f ms, for %zu bytes and %llu counted"
                 " steps: it does work that grows faster than the source without counting it\n",
                 name, static_cast<double>(ns) / 1e6, static_cast<double>(parse_ns) / 1e6, source.size(), steps);
    std::abort();
  }
}

void analyse_tree(TSNode root, std::string_view source, std::string_view key, std::uint64_t parse_ns) {
  analyse("call_edges", source, parse_ns, [&](parse::Work& work) { calls::call_edges(root, source, work); });
  std::vector<std::string> names;
  analyse("function_fingerprints", source, parse_ns, [&](parse::Work& work) {
    for (const fingerprint::Fingerprint& fp : fingerprint::function_fingerprints(root, source, 0, work)) {
      if (fp.name && names.size() < CFG_NAMES && std::find(names.begin(), names.end(), *fp.name) == names.end()) {
        names.push_back(*fp.name);
      }
    }
  });
  for (const std::string& name : names) {
    analyse("function_cfg", source, parse_ns,
            [&](parse::Work& work) { cfg::function_cfg(root, source, name, key, work); });
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
  parse::Cost parse_cost{};
  try {
    tree = parse::parse(key, source, parse::Signals::Ignored, &parse_cost);  // no interpreter here
  } catch (const parse::ValueError&) {
    return;  // an unknown key or a parse cut off at its allowance
  }
  TSNode root = tree.root();
  analyse("import_sources", source, parse_cost.cpu_ns, [&](parse::Work& work) {
    std::vector<std::string> imports;
    imports::walk(root, source, key, imports, work);
  });
  if (text) analyse_tree(root, source, key, parse_cost.cpu_ns);
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
