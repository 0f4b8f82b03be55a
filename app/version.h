// The product's version text.
#pragma once

namespace kv {
inline constexpr const char* kProductName = "Kelvandrome";
inline constexpr const char* kVersionText = "0.1.0";
const char* VersionText();
}  // namespace kv
