// One compiled regular expression of the operator's rules (ban filters,
// immunity patterns): searched anywhere in a text, letter case significant
// unless the pattern says (?i), "." also matching line ends. Immutable once
// compiled, so one object serves every thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kv {

class TPattern {
 public:
  ~TPattern();
  TPattern(const TPattern&) = delete;
  TPattern& operator=(const TPattern&) = delete;

  // The compiled pattern, or nullptr with `error` set ("missing closing
  // parenthesis at offset 3") when the text is no valid expression.
  static std::shared_ptr<const TPattern> Compile(std::string_view text, std::string& error);

  // True when the pattern matches somewhere in the text. A search that
  // runs into the engine's work limit (a pathological pattern against a
  // long text) counts as no match. Any thread.
  bool Search(std::string_view subject) const;
  // The same search, giving the text of the first match in `matched`.
  // When the search runs into the work limit, `error` (if given) gets the
  // engine's message; it then counts as no match as well.
  bool Search(std::string_view subject, std::string& matched, std::string* error = nullptr) const;
  const std::string& Text() const { return text_; }

 private:
  TPattern() = default;
  struct TCode;
  std::string text_;
  std::unique_ptr<TCode> code_;
};

// The text with every character that has a meaning in an expression
// escaped, so the pattern matches exactly that text (a nick full of
// brackets and dots, say).
std::string QuotePattern(std::string_view text);

}  // namespace kv
