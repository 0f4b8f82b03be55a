// The product's name and version text (shown to operators, written into
// setup exports and message templates).
#pragma once

namespace kv {
inline constexpr const char* kProductName = "Kelvandrome";
inline constexpr const char* kVersionText = "0.8.10 BETA";
}  // namespace kv
