// The counters and dates of a player's history, as the rules keep them in
// its variable lists (persistent and visit).
#pragma once

#include <cstdint>
#include <exception>
#include <string_view>

#include "formats/varlist.h"

namespace kv {

// The named integer plus `amount`, stored as a 32-bit integer (wrapping as
// the stored files always did); a missing or unreadable value counts as 0.
// Returns the new value.
inline int32_t AddCounter(TVarList& list, std::string_view name, int32_t amount = 1) {
  int32_t next = 0;
  list.Update(name, [&](const TVariant* current) {
    int64_t value = 0;
    if (current) try {
        value = current->AsInt64();
      } catch (const std::exception&) {
        value = 0;
      }
    next = static_cast<int32_t>(static_cast<uint32_t>(value + amount));
    return TVariant(next);
  });
  return next;
}

// A date-time variable, or false when it is missing or no number.
inline bool GetDate(const TVarList& list, std::string_view name, double& out) {
  TVariant v;
  if (!list.TryGetValue(name, v) || v.IsEmptyOrNull()) return false;
  try {
    out = v.AsDouble();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

inline void SetDate(TVarList& list, std::string_view name, double value) {
  list.SetValue(name, TVariant::Date(value));
}

}  // namespace kv
