// Parses files through the module's own parse path and prints what each parse
// used beside its allowance, for benchmarks/parse_cost.py.
//
// Input lines: KEY, a tab, a file's path. Output lines: key, path, bytes, then
// progress calls, allocated bytes, peak live bytes and CPU nanoseconds, each
// used and allowed,
// then "ok" or "refused".
#include <Python.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "parse.h"

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
    const char* outcome = "ok";
    try {
      parse::parse(key, source, parse::Signals::Ignored, &used);
    } catch (const parse::ValueError&) {
      outcome = "refused";
    }
    std::printf("%s\t%s\t%zu", key.c_str(), path.c_str(), source.size());
    for (auto measure : {&parse::Cost::progress_calls, &parse::Cost::allocated_bytes, &parse::Cost::live_bytes,
                         &parse::Cost::cpu_ns}) {
      std::printf("\t%llu\t%llu", static_cast<unsigned long long>(used.*measure),
                  static_cast<unsigned long long>(allowed.*measure));
    }
    std::printf("\t%s\n", outcome);
    std::fflush(stdout);
  }
  return Py_FinalizeEx() < 0 ? 1 : 0;
}
