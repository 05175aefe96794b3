// Parses files through the module's own parse path and prints what each parse
// used beside its allowance, for benchmarks/parse_cost.py.
//
// Input lines: KEY, a tab, a file's path. Output lines: key, path, bytes, then
// progress calls, allocated bytes and CPU nanoseconds, each used and allowed,
// then "ok" or "refused".
#include <Python.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "py.h"

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
    py::ParseCost used{}, allowed = py::parse_limits(source.size());
    const char* outcome = "ok";
    try {
      py::parse(key, source, py::Signals::Ignored, &used);
    } catch (const py::ValueError&) {
      outcome = "refused";
    }
    std::printf("%s\t%s\t%zu\t%llu\t%llu\t%llu\t%llu\t%llu\t%llu\t%s\n", key.c_str(), path.c_str(), source.size(),
                static_cast<unsigned long long>(used.progress_calls),
                static_cast<unsigned long long>(allowed.progress_calls),
                static_cast<unsigned long long>(used.allocated_bytes),
                static_cast<unsigned long long>(allowed.allocated_bytes),
                static_cast<unsigned long long>(used.cpu_ns), static_cast<unsigned long long>(allowed.cpu_ns),
                outcome);
    std::fflush(stdout);
  }
  return Py_FinalizeEx() < 0 ? 1 : 0;
}
