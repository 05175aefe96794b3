#include "registry.h"

#include <algorithm>
#include <mutex>

extern "C" {
const TSLanguage* tree_sitter_c(void);
const TSLanguage* tree_sitter_cpp(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_ada(void);
const TSLanguage* tree_sitter_go(void);
const TSLanguage* tree_sitter_java(void);
const TSLanguage* tree_sitter_c_sharp(void);
const TSLanguage* tree_sitter_kotlin(void);
const TSLanguage* tree_sitter_swift(void);
const TSLanguage* tree_sitter_php(void);
const TSLanguage* tree_sitter_fortran(void);
const TSLanguage* tree_sitter_scala(void);
const TSLanguage* tree_sitter_lua(void);
}

namespace registry {

namespace {

struct GrammarEntry {
  std::string_view key;
  const TSLanguage* (*entry)(void);
};

constexpr GrammarEntry GRAMMARS[] = {
    {"c", tree_sitter_c},
    {"cpp", tree_sitter_cpp},
    {"rust", tree_sitter_rust},
    {"python", tree_sitter_python},
    {"javascript", tree_sitter_javascript},
    {"typescript", tree_sitter_typescript},
    {"tsx", tree_sitter_tsx},
    {"ada", tree_sitter_ada},
    {"go", tree_sitter_go},
    {"java", tree_sitter_java},
    {"csharp", tree_sitter_c_sharp},
    {"kotlin", tree_sitter_kotlin},
    {"swift", tree_sitter_swift},
    {"php", tree_sitter_php},
    {"fortran", tree_sitter_fortran},
    {"scala", tree_sitter_scala},
    {"lua", tree_sitter_lua},
};

std::vector<LanguageInfo> build_table() {
  using M = SlocMode;
  std::vector<LanguageInfo> rows;
  rows.push_back({"C", "c", {"c"}, {"h"}, M::CStyle});
  rows.push_back({"C++", "cpp", {"cpp", "cc", "cxx", "hpp", "hxx"}, {}, M::CStyle});
  rows.push_back({"Rust", "rust", {"rs"}, {}, M::CStyle});
  rows.push_back({"Python", "python", {"py"}, {}, M::Hash});
  rows.push_back({"JavaScript", "javascript", {"js", "mjs", "cjs", "jsx"}, {}, M::CStyle});
  rows.push_back({"TypeScript", "typescript", {"ts", "tsx"}, {}, M::CStyle});
  rows.push_back({"Ada", "ada", {"adb", "ada"}, {"ads"}, M::DoubleDash});
  rows.push_back({"Go", "go", {"go"}, {}, M::CStyle});
  rows.push_back({"Java", "java", {"java"}, {}, M::CStyle});
  rows.push_back({"C#", "csharp", {"cs"}, {}, M::CStyle});
  rows.push_back({"Kotlin", "kotlin", {"kt", "kts"}, {}, M::CStyle});
  rows.push_back({"Swift", "swift", {"swift"}, {}, M::CStyle});
  rows.push_back({"PHP", "php", {"php"}, {}, M::CStyle});
  rows.push_back({"Fortran", "fortran",
                  {"f90", "f95", "f03", "f08", "F90", "F95", "F03", "F08"}, {}, M::Bang});
  rows.push_back({"Scala", "scala", {"scala", "sc"}, {}, M::CStyle});
  rows.push_back({"Lua", "lua", {"lua"}, {}, M::Lua});
  return rows;
}

std::string dotted(const std::vector<std::string_view>& exts) {
  std::string out;
  for (std::size_t i = 0; i < exts.size(); ++i) {
    if (i) out += ' ';
    out += '.';
    out += exts[i];
  }
  return out;
}

}  // namespace

const std::vector<LanguageInfo>& languages() {
  // Function-local static: a once-only initialiser that blocks other callers
  // until the build is complete and retries after an abandoned build.
  static const std::vector<LanguageInfo> LANGS = build_table();
  return LANGS;
}

const TSLanguage* language_for_key(std::string_view key) {
  for (const GrammarEntry& g : GRAMMARS) {
    if (g.key.size() == key.size() && g.key == key) return g.entry();
  }
  return nullptr;
}

std::string supported_languages_report() {
  const auto& rows = languages();
  std::size_t width = 0;
  for (const LanguageInfo& row : rows) width = std::max(width, row.name.size());
  std::string text = "Supported languages:\n";
  for (const LanguageInfo& row : rows) {
    text += "  ";
    text += row.name;
    text.append(width - row.name.size(), ' ');
    text += "  ";
    text += dotted(row.extensions);
    if (!row.explicit_only.empty()) {
      text += "  (also ";
      text += dotted(row.explicit_only);
      text += " when passed explicitly)";
    }
    text += '\n';
  }
  return text;
}

}  // namespace registry
