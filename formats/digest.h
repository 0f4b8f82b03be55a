// Digest texts: MD5 of a text's bytes as 32 upper-case hexadecimal digits,
// the form the player history store keys on.
#pragma once

#include <string>
#include <string_view>

namespace kv {

// Pure; callable from any thread.
std::string DigestText(std::string_view text);

}  // namespace kv
