// Text helpers of the chat watch: the comma-text form of the bad-word list,
// the backslash escapes of a trigger's reaction and its splitting into the
// lines the server says one by one.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// The items of a comma text: separated by commas or blanks (any character
// up to the blank); an item in double quotes may hold commas and blanks, a
// doubled double quote in it standing for one. Empty items are left out: an
// empty expression would match every chat line.
std::vector<std::string> SplitChatCommaText(std::string_view text);
// The comma text of the items: an item holding a blank, a control
// character, a comma or a double quote is written in double quotes.
std::string JoinChatCommaText(const std::vector<std::string>& items);

// A reaction whose escapes cannot be decoded.
class EEscapeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decodes \n \r \t \v \f \a \b \\ \" \' \?, \x with hexadecimal digits and
// a backslash with one to three octal digits into their characters; a
// backslash before any other character (or at the end) stays with it.
// Throws EEscapeError for \x without a digit and for a code above 255.
std::string DecodeReactionEscapes(std::string_view text);

// The lines of a text, split at CR, LF or CR LF; empty lines are dropped.
std::vector<std::string> SplitReactionLines(std::string_view text);

}  // namespace kv
