#include "app/version.h"

namespace kv {
const char* VersionText() { return kVersionText; }
}  // namespace kv
