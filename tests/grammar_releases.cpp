// Build-time check: every grammar key resolves to the grammar release the
// module is meant to carry. Run by CMake right after linking, so a lock file
// that brings in another release fails the build.
#include <cstdio>
#include <string>
#include <string_view>

#include "registry.h"

namespace {

struct Expected {
  std::string_view key;
  std::uint32_t abi;
  // The release recorded in an ABI 15 grammar; ABI 14 grammars record none.
  const char* release;
};

constexpr Expected EXPECTED[] = {
    {"c", 15, "0.24.2"},          {"cpp", 14, nullptr},
    {"rust", 15, "0.24.1"},       {"python", 15, "0.25.0"},
    {"javascript", 15, "0.25.0"}, {"typescript", 14, nullptr},
    {"tsx", 14, nullptr},         {"ada", 14, nullptr},
    {"go", 15, "0.25.0"},         {"java", 14, nullptr},
    {"csharp", 15, "0.23.5"},     {"kotlin", 14, nullptr},
    {"swift", 15, "0.7.3"},       {"php", 15, "0.24.2"},
    {"fortran", 15, "0.5.1"},     {"scala", 15, "0.26.0"},
    {"lua", 15, "0.5.0"},
};

std::string describe(std::uint32_t abi, const char* release) {
  std::string text = "ABI " + std::to_string(abi);
  text += release ? std::string(", release ") + release : std::string(", no release record");
  return text;
}

}  // namespace

int main() {
  int failures = 0;
  for (const Expected& want : EXPECTED) {
    const TSLanguage* language = registry::language_for_key(want.key);
    if (!language) {
      std::fprintf(stderr, "grammar_releases: %.*s: no grammar\n",
                   static_cast<int>(want.key.size()), want.key.data());
      ++failures;
      continue;
    }
    const std::uint32_t abi = ts_language_abi_version(language);
    const TSLanguageMetadata* meta = ts_language_metadata(language);
    std::string release;
    if (meta) {
      release = std::to_string(meta->major_version) + '.' + std::to_string(meta->minor_version) +
                '.' + std::to_string(meta->patch_version);
    }
    const std::string have = describe(abi, meta ? release.c_str() : nullptr);
    const std::string expected = describe(want.abi, want.release);
    if (have != expected) {
      std::fprintf(stderr, "grammar_releases: %.*s: %s; expected %s\n",
                   static_cast<int>(want.key.size()), want.key.data(), have.c_str(),
                   expected.c_str());
      ++failures;
    }
    ts_language_delete(language);
  }
  return failures ? 1 : 0;
}
