// Language table, grammar lookup and the module's internal-failure type.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <tree_sitter/api.h>

namespace registry {

// Comment syntax of a language.
enum class SlocMode : std::uint8_t { CStyle = 0, Hash = 1, DoubleDash = 2, Lua = 3, Bang = 4 };

struct LanguageInfo {
  std::string_view name;
  std::string_view key;
  std::vector<std::string_view> extensions;
  std::vector<std::string_view> explicit_only;
  SlocMode sloc_mode;
};

// A broken invariant of the module's own code; surfaces as PanicException.
struct InternalError : std::logic_error {
  using std::logic_error::logic_error;
};

// The sixteen rows of the language table, built once on first use.
const std::vector<LanguageInfo>& languages();

// The grammar of one of the seventeen grammar keys, or nullptr.
const TSLanguage* language_for_key(std::string_view key);

std::string supported_languages_report();

}  // namespace registry
