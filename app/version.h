// The product's version text.
#pragma once

namespace kv {
inline constexpr const char* kProductName = "Kelvandrome";
inline constexpr const char* kVersionText = "0.8.10 BETA";
const char* VersionText();
}  // namespace kv
