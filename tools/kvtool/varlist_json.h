// The JSON form of a variable list's values, shared by the kvtool commands
// that show stored lists (varlist dump, history dump,
// configs dump).
#pragma once

#include <nlohmann/json.hpp>

#include "formats/varlist.h"

namespace kv::tool {

// [{"name", "type", "value"[, "text"]}, ...] in name order; texts as UTF-8,
// a wide string that is no well-formed UTF-16 as {"utf16": "..."}.
nlohmann::json VarListJson(const TVarList& list);
// The list back from that form. Throws nlohmann::json::exception for a
// malformed item and std::runtime_error for an unknown type or value.
TVarList VarListFromJson(const nlohmann::json& variables);

}  // namespace kv::tool
