#include "imports.h"

#include "registry.h"

namespace imports {

void walk(TSNode, std::string_view, std::string_view, std::vector<std::string>&) {
  throw registry::InternalError("import_sources is not implemented");
}

}  // namespace imports
