#include "cfg.h"

#include "registry.h"

namespace cfg {

std::optional<FunctionCfg> build_function_cfg(TSNode, std::string_view) {
  throw registry::InternalError("function_cfg is not implemented");
}

}  // namespace cfg
