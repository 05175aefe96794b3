#include "suppressions.h"

namespace suppressions {

std::vector<Suppression> suppressions(std::string_view, registry::SlocMode) {
  throw registry::InternalError("suppressions is not implemented");
}

}  // namespace suppressions
