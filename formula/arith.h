// TArith: the small formula language operators write their player scores
// and extra statistics lines in. It normalises a formula, checks its syntax
// with German messages that name the position of the fault, and evaluates
// it to a value (empty, Boolean, whole number, floating-point number,
// date-time or string, held in a TVariant).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "formats/variant.h"
#include "formats/varlist.h"

namespace kv {

// An evaluation failure; what() is the message the caller reports.
class EArithError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bounds that keep a hostile or runaway formula from exhausting the stack,
// the memory or the time of the thread that evaluates it. Real formulas stay
// far below every one of them.
inline constexpr size_t kMaxFormulaLength = 32768;       // characters of one formula text
inline constexpr int kMaxFormulaNesting = 200;           // parentheses, calls and SUM texts
inline constexpr int64_t kMaxSumIterations = 1'000'000;  // per SUM call
inline constexpr size_t kMaxFormulaString = 1 << 20;     // characters of one string value
inline constexpr int64_t kMaxEvaluationSteps = 20'000'000;

// One entry of the function table: number, name and argument count.
struct TArithFunction {
  int number;
  const char* name;
  int args;
};

class TArith {
 public:
  // The generator of RANDOM gets its seed from the clock when RANDOM first
  // runs, so the many instances that never draw cost nothing for it.
  TArith() = default;
  TArith(const TArith&) = delete;
  TArith& operator=(const TArith&) = delete;

  // An instance is used by one thread at a time (callers create one per
  // evaluation); no locks are taken apart from the variable list's own.

  // Removes the blanks outside double-quoted strings and upper-cases every
  // other character outside them; string contents stay as written.
  static std::string Normalize(std::string_view formula);

  // The syntax message for a normalised formula; empty when it is accepted.
  static std::string CheckSyntax(std::string_view text);

  // Evaluates a normalised formula. Throws EArithError with the message to
  // report; nothing is returned partially.
  TVariant Evaluate(std::string_view text);

  // The variables the formula may read. Reading a name the list does not
  // hold fails; SUM sets "@" here.
  TVarList& Variables() { return variables_; }

  // Reseeds RANDOM, for reproducible runs.
  void Randomize(uint32_t seed) { random_.emplace(seed); }

  // Case-insensitive lookup in the function table; nullptr when unknown.
  static const TArithFunction* FindFunction(std::string_view name);

 private:
  friend class TArithParser;
  friend class TArithDepth;

  // Runs a built-in function on its evaluated arguments (arith_functions.cpp).
  TVariant RunFunction(const TArithFunction& function, const std::vector<TVariant>& args);
  TVariant Sum(const std::vector<TVariant>& args);
  static uint32_t RandomSeed();
  // Counts work against kMaxEvaluationSteps; throws when it is used up.
  void Charge(int64_t steps);

  TVarList variables_;
  std::optional<std::mt19937> random_;  // made when RANDOM first draws
  int depth_ = 0;                       // current nesting of parentheses, calls and SUM texts
  int64_t steps_ = 0;                   // work done by the running top-level evaluation
};

// The text form of a formula value, as the language converts values to
// strings: whole numbers in decimal, floating-point numbers with up to 15
// significant digits and a decimal comma, Booleans as "True"/"False",
// date-times as regional date and time, empty as the empty string.
std::string ArithValueToText(const TVariant& value);

}  // namespace kv
