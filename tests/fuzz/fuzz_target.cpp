// libFuzzer target: the parse path and every analysis behind the module
// functions, with the inputs the module gives them.
//
// An input is a language key, a line feed and the source. A str source is
// valid UTF-8 by construction, so the analyses of str sources see only
// those; import sources take any bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "calls.h"
#include "cfg.h"
#include "fingerprint.h"
#include "imports.h"
#include "py.h"
#include "query.h"
#include "regions.h"
#include "suppressions.h"

namespace {

constexpr registry::SlocMode SLOC_MODES[] = {registry::SlocMode::CStyle, registry::SlocMode::Hash,
                                             registry::SlocMode::DoubleDash, registry::SlocMode::Lua,
                                             registry::SlocMode::Bang};

void analyse_tree(TSNode root, std::string_view source, std::string_view key) {
  calls::call_edges(root, source);
  // The graph of every named function, selected by name as function_cfg() does.
  for (const fingerprint::Fingerprint& fp : fingerprint::function_fingerprints(root, source, 0)) {
    if (fp.name) cfg::function_cfg(root, source, *fp.name, key);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t line_end = input.find('\n');
  if (line_end == std::string_view::npos) return 0;
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
    tree = py::parse(key, source, py::Signals::Ignored);  // no interpreter here
  } catch (const py::ValueError&) {
    return 0;  // an unknown key or a parse cut off at its work bound
  }
  std::vector<std::string> imports;
  imports::walk(tree.root(), source, key, imports);
  if (text) analyse_tree(tree.root(), source, key);
  return 0;
}
