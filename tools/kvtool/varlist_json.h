// The JSON form of a variable list's values, shared by the kvtool commands
// that show stored lists (varlist dump, history dump).
#pragma once

#include <nlohmann/json.hpp>

#include "formats/varlist.h"

namespace kv::tool {

// [{"name", "type", "value"[, "text"]}, ...] in name order; texts as UTF-8,
// a wide string that is no well-formed UTF-16 as {"utf16": "..."}.
nlohmann::json VarListJson(const TVarList& list);

}  // namespace kv::tool
