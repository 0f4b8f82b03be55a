// Base64 (standard alphabet, "=" padding, no line breaks): the text form of
// enciphered values in the INI file and in the other text channels.
#pragma once

#include <string>
#include <string_view>

namespace kv {

// Both are pure functions, callable from any thread.
std::string Base64Encode(std::string_view bytes);

// Never fails: characters outside the alphabet and "=" are skipped (line
// breaks, blanks and stray bytes that editors and mail programs add), the
// first "=" ends the data, and an incomplete last group decodes as if it had
// been padded ("QQ" reads like "QQ=="). A single dangling character carries
// no whole byte and is dropped.
std::string Base64Decode(std::string_view text);

}  // namespace kv
