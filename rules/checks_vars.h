// Small helpers of the checks for the variables of a history.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/varlist.h"

namespace kv::checks {

// The named integer plus `amount`, stored as a 32-bit integer; a missing or
// unreadable value counts as 0. Returns the new value.
inline int32_t AddCounter(TVarList& list, std::string_view name, int32_t amount) {
  int64_t value = 0;
  TVariant v;
  if (list.TryGetValue(name, v)) try {
      value = v.AsInt64();
    } catch (const std::exception&) {
      value = 0;
    }
  const auto next = static_cast<int32_t>(static_cast<uint32_t>(value + amount));
  list.SetValue(name, TVariant(next));
  return next;
}

// An integer variable, or false when it is missing or no number.
inline bool GetInt(const TVarList& list, std::string_view name, int64_t& out) {
  TVariant v;
  if (!list.TryGetValue(name, v) || v.IsEmptyOrNull()) return false;
  try {
    out = v.AsInt64();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

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

// A text variable, or false when it is missing or no text.
inline bool GetText(const TVarList& list, std::string_view name, std::string& out) {
  TVariant v;
  if (!list.TryGetValue(name, v) || !v.IsString()) return false;
  out = v.AsString();
  return true;
}

}  // namespace kv::checks
