// Small helpers of the checks for the variables of a history.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "domain/player_vars.h"
#include "formats/varlist.h"

namespace kv::checks {

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

// A text variable, or false when it is missing or no text.
inline bool GetText(const TVarList& list, std::string_view name, std::string& out) {
  TVariant v;
  if (!list.TryGetValue(name, v) || !v.IsString()) return false;
  out = v.AsString();
  return true;
}

}  // namespace kv::checks
