// Evaluating formulas by precedence climbing. Every infix operator is
// left-associative; a sign binds to the factor only and the postfix
// operators to the operand just read, so -2^2 is 4 and 2^3! is 2^6.
#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>

#include "core/clock.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "formula/arith.h"
#include "formula/arith_internal.h"

namespace kv {

using namespace arith;

// One level of nesting (a parenthesis, a call or a SUM text) for as long as
// it lives; refuses levels beyond kMaxFormulaNesting so no formula can
// exhaust the stack.
class TArithDepth {
 public:
  TArithDepth(TArith& arith, size_t position, std::string_view formula) : arith_(arith) {
    if (arith_.depth_ >= kMaxFormulaNesting) throw EArithError(NestingText(position, formula));
    ++arith_.depth_;
  }
  ~TArithDepth() { --arith_.depth_; }
  TArithDepth(const TArithDepth&) = delete;
  TArithDepth& operator=(const TArithDepth&) = delete;

 private:
  TArith& arith_;
};

class TArithParser {
 public:
  TArithParser(TArith& arith, std::string_view formula)
      : arith_(arith), formula_(formula), s_(std::string(formula) + ";") {}

  TVariant Run() {
    TVariant v = Expression(kLogic);
    if (Peek() != ';') OperatorExpected();
    return v;
  }

 private:
  // Binding strength of the infix operators, weakest first.
  enum TLevel { kNone = 0, kLogic = 1, kCompare, kAdditive, kMultiplicative, kPower };

  struct TInfix {
    TLevel level = kNone;
    char op = 0;
    TCompare compare = TCompare::Equal;
    size_t length = 1;
  };

  char Peek(size_t ahead = 0) const { return pos_ + ahead < s_.size() ? s_[pos_ + ahead] : '\0'; }
  [[noreturn]] void OperatorExpected() const { throw EArithError(OperatorExpectedText(pos_ + 1, formula_)); }

  TInfix NextInfix() const {
    TInfix t;
    t.op = Peek();
    switch (t.op) {
      case '&':
      case '|': t.level = kLogic; break;
      case '+':
      case '-': t.level = kAdditive; break;
      case '*':
      case '/': t.level = kMultiplicative; break;
      case '^': t.level = kPower; break;
      case '=': t.level = kCompare; break;
      case '<':
        t.level = kCompare;
        t.compare = TCompare::Less;
        if (Peek(1) == '=')
          t.compare = TCompare::LessEqual, t.length = 2;
        else if (Peek(1) == '>')
          t.compare = TCompare::NotEqual, t.length = 2;
        break;
      case '>':
        t.level = kCompare;
        t.compare = TCompare::Greater;
        if (Peek(1) == '=') t.compare = TCompare::GreaterEqual, t.length = 2;
        break;
      default: break;
    }
    return t;
  }

  static TVariant Apply(const TInfix& t, const TVariant& l, const TVariant& r) {
    switch (t.op) {
      case '&':
      case '|': return Logic(t.op, l, r);
      case '+': return Add(l, r);
      case '-': return Subtract(l, r);
      case '*': return Multiply(l, r);
      case '/': return Divide(l, r);
      case '^': return Power(l, r);
      default: return Compare(t.compare, l, r);
    }
  }

  // Precedence climbing: operands joined by operators of at least min_level.
  TVariant Expression(int min_level) {
    TVariant lhs = Operand();
    for (;;) {
      const TInfix t = NextInfix();
      if (t.level == kNone || t.level < min_level) return lhs;
      pos_ += t.length;
      const TVariant rhs = Expression(t.level + 1);
      lhs = Apply(t, lhs, rhs);
    }
  }

  // Signs, a factor, then the postfix operators that follow it.
  TVariant Operand() {
    bool negative = false;
    bool signed_factor = false;
    while (Peek() == '+' || Peek() == '-') {
      negative ^= Peek() == '-';
      signed_factor = true;
      ++pos_;
    }
    TVariant v = Factor();
    if (signed_factor && negative) v = Negate(v);
    for (;;) {
      if (Peek() == '!')
        v = Factorial(v);
      else if (Peek() == '%')
        v = Percent(v);
      else
        return v;
      ++pos_;
    }
  }

  TVariant Factor() {
    arith_.Charge(1);
    const char c = Peek();
    if (IsDigit(c)) return NumberOrDate();
    if (c == '"') return StringLiteral();
    if (IsIdentStart(c)) return Name();
    if (c == '(') {
      TArithDepth depth(arith_, pos_ + 1, formula_);
      ++pos_;
      TVariant v = Expression(kLogic);
      if (Peek() != ')') OperatorExpected();
      ++pos_;
      return v;
    }
    return TVariant();  // an empty formula or argument
  }

  TVariant NumberOrDate() {
    const size_t start = pos_;
    while (IsDigit(Peek())) ++pos_;
    if (Peek() == '.') {
      const size_t dot = pos_;
      while (IsDigit(Peek()) || Peek() == '.') ++pos_;
      const std::string_view s(s_);
      const std::string text = DateLiteralText(s.substr(start, dot - start), s.substr(dot, pos_ - dot));
      double dt;
      if (!regional::TryStrToDate(text, dt))
        throw EArithError("Der '" + text + "' ist kein g\xFCltiges Datum");
      return TVariant::Date(dt);
    }
    std::string digits = s_.substr(start, pos_ - start);
    if (Peek() == ',' && IsDigit(Peek(1))) {
      digits += '.';
      ++pos_;
      while (IsDigit(Peek())) digits += s_[pos_++];
    }
    arith_.Charge(static_cast<int64_t>(digits.size() / 64));
    // The nearest double to the decimal written; a literal too large for a
    // double is infinite.
    double v = std::numeric_limits<double>::infinity();
    std::from_chars(digits.data(), digits.data() + digits.size(), v);
    return TVariant(v);
  }

  TVariant StringLiteral() {
    const size_t close = s_.find('"', pos_ + 1);
    if (close == std::string::npos) throw EArithError("Ein String wurde nicht geschlossen");
    std::string text = s_.substr(pos_ + 1, close - pos_ - 1);
    arith_.Charge(static_cast<int64_t>(text.size() / 64));
    pos_ = close + 1;
    return TVariant(std::move(text));
  }

  TVariant Name() {
    const size_t start = pos_++;
    while (IsIdentChar(Peek())) ++pos_;
    const std::string name = s_.substr(start, pos_ - start);
    arith_.Charge(static_cast<int64_t>(name.size() / 64));
    if (Peek() == '(') return Call(name, start);
    TVariant v;
    if (!arith_.variables_.TryGetValue(name, v)) throw EArithError(UnknownVariableText(name));
    if (v.IsString()) arith_.Charge(static_cast<int64_t>(v.AsString().size() / 64));
    return v;
  }

  // All arguments are evaluated before the function runs; no short-circuit.
  TVariant Call(const std::string& name, size_t start) {
    const TArithFunction* f = TArith::FindFunction(name);
    if (!f) throw EArithError(UndefinedFunctionText(name));
    TArithDepth depth(arith_, start + 1, formula_);
    ++pos_;  // "("
    std::vector<TVariant> args;
    for (;;) {
      args.push_back(Expression(kLogic));
      if (Peek() == ')') break;
      // The ";" appended to the text ends the formula, not an argument.
      if (Peek() != ';' || pos_ + 1 >= s_.size()) OperatorExpected();
      ++pos_;
    }
    ++pos_;  // ")"
    try {
      if (static_cast<int>(args.size()) != f->args) throw EArithError("argument count");
      TVariant result = arith_.RunFunction(*f, args);
      if (result.IsString()) arith_.Charge(static_cast<int64_t>(result.RawString().size() / 64));
      return result;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      // Whatever failed while the function ran, the caller is told which
      // function and which arguments.
      throw EArithError(FunctionFailureText(name, args));
    }
  }

  TArith& arith_;
  std::string_view formula_;
  std::string s_;  // the formula with ";" appended
  size_t pos_ = 0;
};

namespace {

const TArithFunction kFunctions[] = {
    {1, "MIN", 2},      {2, "MAX", 2},      {3, "TRUNC", 1},   {4, "ROUND", 1},   {5, "IIF", 3},
    {6, "SUBSTR", 3},   {7, "STR", 1},      {8, "POS", 2},     {9, "LEN", 1},     {10, "DATESTR", 2},
    {11, "SORTSTR", 1}, {12, "NORMSTR", 2}, {13, "COPY", 3},   {14, "TELSTR", 1}, {15, "KROUND1", 1},
    {16, "KROUND2", 1}, {17, "SUM", 3},     {18, "ABS", 1},    {19, "SIN", 1},    {20, "COS", 1},
    {21, "TAN", 1},     {22, "ARCSIN", 1},  {23, "ARCCOS", 1}, {24, "ARCTAN", 1}, {25, "LN", 1},
    {26, "EXP", 1},     {27, "RANDOM", 1},  {28, "ROUND2", 2}, {29, "GTZ", 1},    {30, "STZ", 1},
};

}  // namespace

// Seeds differ between instances made in the same clock tick.
uint32_t TArith::RandomSeed() {
  std::random_device device;
  std::seed_seq seq{device(), static_cast<uint32_t>(SteadyMs()),
                    static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  uint32_t seed;
  seq.generate(&seed, &seed + 1);
  return seed;
}

const TArithFunction* TArith::FindFunction(std::string_view name) {
  for (const auto& f : kFunctions)
    if (name.size() == std::char_traits<char>::length(f.name) && SameText(name, f.name)) return &f;
  return nullptr;
}

void TArith::Charge(int64_t steps) {
  steps_ += steps;
  if (steps_ > kMaxEvaluationSteps) throw EArithError(StepsText());
}

TVariant TArith::Evaluate(std::string_view text) {
  const bool top = depth_ == 0;
  if (top) steps_ = 0;  // a new evaluation; SUM texts share their caller's budget
  if (text.size() > kMaxFormulaLength) throw EArithError(TooLongText(text.size()));
  if (top) return TArithParser(*this, text).Run();
  TArithDepth depth(*this, 1, text);  // a SUM text nests like a parenthesis
  return TArithParser(*this, text).Run();
}

}  // namespace kv
