// The product's version text, as the program entry reports it.
#pragma once

#include "core/version.h"

namespace kv {
const char* VersionText();
}  // namespace kv
