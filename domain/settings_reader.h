// TSettingsReader: catalogue keys read at their moment of use through one
// service's configuration store. The server state and the runtime hand one
// out (TMohaaServerInfo::Settings, TRuntime::Settings), so each service's
// parts read their own INI.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "formats/config.h"

namespace kv {

// A key read through the store with the catalogue's default, also without
// a store (tools, tests of one part). The key and its type are checked
// against the catalogue (std::logic_error), so no call site repeats a
// default. Keys whose default depends on the home go through TSettings. A
// copy reads the same store, which outlives it. Any thread.
class TSettingsReader {
 public:
  TSettingsReader() = default;  // the catalogue's defaults only
  explicit TSettingsReader(TDynamicConfigData* config) : config_(config) {}
  int32_t Int(std::string_view key) const;
  bool Bool(std::string_view key) const;
  std::string String(std::string_view key) const;
  // With the caller's default where the rule names its own; the first
  // reader of a missing key decides its value for the run all the same.
  int32_t IntOr(std::string_view key, int32_t fallback) const;

 private:
  TDynamicConfigData* config_ = nullptr;
};

}  // namespace kv
