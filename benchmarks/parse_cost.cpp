// Parses files through the module's own parse path, runs the analyses of the
// tree-based module functions on each tree, and prints what each used beside
// its allowance, for benchmarks/parse_cost.py.
//
// Input lines: KEY, a tab, a file's path. Output lines: key, path, bytes, then
// progress calls, allocated bytes, peak live bytes and CPU nanoseconds of the
// parse, each used and allowed, then the analyses' allowance of steps and the
// steps of call_edges, function_fingerprints, import_sources and of
// function_cfg's search for a name no function has, then "ok", "refused" or
// "analysis refused".
#include <Python.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "calls.h"
#include "cfg.h"
#include "fingerprint.h"
#include "imports.h"
#include "parse.h"

namespace {

template <class Analysis>
std::uint64_t steps(const std::string& source, Analysis&& analysis) {
  parse::Work work("parse_cost", source.size(), parse::Signals::Ignored);
  analysis(work);
  return work.used();
}

}  // namespace

int main() {
  // The runtime allocates through the interpreter's allocator.
  Py_InitializeEx(0);
  std::string line;
  while (std::getline(std::cin, line)) {
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string key = line.substr(0, tab), path = line.substr(tab + 1);
    std::ifstream file(path, std::ios::binary);
    std::string source((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    parse::Cost used{}, allowed = parse::limits(source.size());
    std::vector<std::uint64_t> work(4);
    const char* outcome = "ok";
    query::Tree tree;
    try {
      tree = parse::parse(key, source, parse::Signals::Ignored, &used);
    } catch (const parse::ValueError&) {
      outcome = "refused";
    }
    if (tree) {
      TSNode root = tree.root();
      try {
        work = {steps(source, [&](parse::Work& w) { calls::call_edges(root, source, w); }),
                steps(source, [&](parse::Work& w) { fingerprint::function_fingerprints(root, source, 0, w); }),
                steps(source,
                      [&](parse::Work& w) {
                        std::vector<std::string> found;
                        imports::walk(root, source, key, found, w);
                      }),
                steps(source, [&](parse::Work& w) { cfg::function_cfg(root, source, std::string(1, '\0'), key, w); })};
      } catch (const parse::ValueError&) {
        outcome = "analysis refused";
      }
    }
    std::printf("%s\t%s\t%zu", key.c_str(), path.c_str(), source.size());
    for (auto measure : {&parse::Cost::progress_calls, &parse::Cost::allocated_bytes, &parse::Cost::live_bytes,
                         &parse::Cost::cpu_ns}) {
      std::printf("\t%llu\t%llu", static_cast<unsigned long long>(used.*measure),
                  static_cast<unsigned long long>(allowed.*measure));
    }
    std::printf("\t%llu", static_cast<unsigned long long>(parse::work_limit(source.size())));
    for (std::uint64_t steps : work) std::printf("\t%llu", static_cast<unsigned long long>(steps));
    std::printf("\t%s\n", outcome);
    std::fflush(stdout);
  }
  return Py_FinalizeEx() < 0 ? 1 : 0;
}
