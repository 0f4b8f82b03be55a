// Normalising and syntax-checking formulas. The check scans the text once
// from left to right and returns the first fault as a German message naming
// its position (counted from 1), so an operator can find it in the text.
#include <string>
#include <vector>

#include "core/cp1252.h"
#include "core/regional.h"
#include "formula/arith.h"
#include "formula/arith_internal.h"

namespace kv {
namespace {

using arith::IsDigit;
using std::to_string;

std::string Pos(size_t index) { return to_string(index + 1); }

class TSyntaxCheck {
 public:
  explicit TSyntaxCheck(std::string_view formula) : formula_(formula), s_(std::string(formula) + ";") {}

  std::string Run() {
    std::string msg = Scan();
    if (!msg.empty()) return msg;
    if (!value_ && !formula_.empty()) msg = "Die Funktion darf nicht mit einem Operator enden";
    // The innermost parenthesis still open is the one a backward scan from
    // the end reaches first; the stack remembers it without being misled by
    // parentheses inside strings.
    if (!open_.empty())
      msg = "Die Klammerebene die bei Position " + Pos(open_.back()) +
            " ge\xF6"
            "ffnen wurde, wird nicht wieder geschlossen";
    return msg;
  }

 private:
  std::string Scan() {
    size_t i = 0;
    while (i < s_.size()) {
      const char c = s_[i];
      std::string msg;
      if (c == ';') return "";
      if (IsDigit(c))
        msg = Number(i);
      else if (c == '"')
        msg = String(i);
      else if (arith::IsIdentStart(c))
        msg = Identifier(i);
      else if (c == '(')
        msg = Open(i);
      else if (c == ')')
        msg = Close(i);
      else if (c == '+' || c == '-')
        msg = Sign(i);
      else if (std::string_view("&*/<=>^|").find(c) != std::string_view::npos)
        msg = Infix(i);
      else if (c == '!' || c == '%')
        msg = Postfix(i);
      else
        msg = "Das Zeichen an Position " + Pos(i) + " ist an dieser Stelle nicht erlaubt";
      if (!msg.empty()) return msg;
    }
    return "";
  }

  std::string Number(size_t& i) {
    if (value_) return "Vor der Zahl auf Position " + Pos(i) + " fehlt ein Operator";
    const size_t start = i;
    while (IsDigit(s_[i])) ++i;
    if (s_[i] == ',') {
      if (!IsDigit(s_[i + 1])) return "An Position " + Pos(i) + " fehlt der Nachkommawert";
      ++i;
      while (IsDigit(s_[i])) ++i;
    } else if (s_[i] == '.') {
      const size_t dot = i;
      while (IsDigit(s_[i]) || s_[i] == '.') ++i;
      const std::string date = arith::DateLiteralText(std::string_view(s_).substr(start, dot - start),
                                                      std::string_view(s_).substr(dot, i - dot));
      double dt;
      if (!regional::TryStrToDate(date, dt)) return "Der '" + date + "' ist kein g\xFCltiges Datum";
    }
    value_ = true;
    return "";
  }

  std::string String(size_t& i) {
    const size_t close = s_.find('"', i + 1);
    if (close == std::string::npos) return "Ein String wurde nicht geschlossen";
    if (value_) return "Vor dem String auf Position " + Pos(i) + " fehlt ein Operator";
    i = close + 1;
    value_ = true;
    return "";
  }

  std::string Identifier(size_t& i) {
    if (value_) return "Nach Position " + to_string(i) + " fehlt ein Operator";
    const size_t start = i++;
    while (arith::IsIdentChar(s_[i])) ++i;
    if (s_[i] == '(') {
      std::string msg = Function(s_.substr(start, i - start), start, i);
      if (!msg.empty()) return msg;
    }
    value_ = true;
    return "";
  }

  // A call NAME( ... ) with NAME at index start and "(" at index paren. On
  // success paren is moved past the call's closing parenthesis.
  std::string Function(const std::string& name, size_t start, size_t& paren) {
    const TArithFunction* f = TArith::FindFunction(name);
    if (!f) return "Funktion '" + name + "' ist nicht definiert";
    const std::string where = "'" + name + "'-Funktion an Position " + Pos(start);
    std::vector<std::string_view> args;
    const std::string_view s(s_);
    size_t arg_start = paren + 1;
    int level = 0;
    size_t k = paren + 1;
    for (;; ++k) {
      if (k >= s.size())
        return "Die " + where +
               " besitzt keine schlie\xDF"
               "ende Klammer";
      const char c = s[k];
      if (c == '"') {
        k = s.find('"', k + 1);
        if (k == std::string_view::npos) return "In der " + where + " wird ein String nicht geschlossen";
      } else if (c == '(') {
        ++level;
      } else if (c == ')' && level > 0) {
        --level;
      } else if ((c == ')' || c == ';') && level == 0) {
        args.push_back(s.substr(arg_start, k - arg_start));
        arg_start = k + 1;
        if (c == ')') break;
      }
    }
    if (static_cast<int>(args.size()) != f->args)
      return "Die " + where + " ben\xF6tigt " + to_string(f->args) + " statt " + to_string(args.size()) +
             " Parameter";
    for (std::string_view arg : args) {
      if (arg.empty()) continue;
      const std::string msg = TSyntaxCheck(arg).Run();
      if (!msg.empty()) return "Fehler im Fkt.-Parameter [" + std::string(arg) + "] \r" + msg;
    }
    paren = k + 1;
    return "";
  }

  std::string Open(size_t& i) {
    if (value_) return "Dem Klammerauf bei Position " + Pos(i) + " geht kein Opperator vorraus";
    open_.push_back(i++);
    value_ = false;
    return "";
  }

  std::string Close(size_t& i) {
    if (open_.empty())
      return "Die Klammerebene die bei Position " + Pos(i) +
             " geschlossen werden soll wurde nie ge\xF6"
             "ffnet";
    if (!value_) return "Vor der Klammer-zu an Position " + Pos(i) + " fehlt ein Wert";
    open_.pop_back();
    ++i;
    value_ = true;
    return "";
  }

  std::string Sign(size_t& i) {
    const char c = s_[i];
    if (!value_ && i > 0 && (s_[i - 1] == '+' || s_[i - 1] == '-'))
      return "An Position " + to_string(i) + " stehen zwei [" + c + "]-Zeichen";
    ++i;
    value_ = false;
    return "";
  }

  std::string Infix(size_t& i) {
    const char c = s_[i];
    if (!value_) {
      if (i == 0) return std::string("Der Operator [") + c + "] ist am Anfang einer Formel nicht erlaubt";
      if (s_[i - 1] == '(')
        return std::string("Der Operator [") + c + "] ist nach einem Klammer-auf nicht erlaubt";
      const std::string pair{s_[i - 1], c};
      if (pair != "<=" && pair != ">=" && pair != "<>")
        return "Operator " + pair + " an Position " + to_string(i) + " existiert nicht";
    }
    ++i;
    value_ = false;
    return "";
  }

  std::string Postfix(size_t& i) {
    if (!value_)
      return "Fehler an Position " + Pos(i) + ". Ein [" + s_[i] + "]-Zeichen mu\xDF hinter einem Wert stehen";
    ++i;
    return "";
  }

  std::string_view formula_;
  std::string s_;  // the formula with ";" appended
  bool value_ = false;
  std::vector<size_t> open_;  // indexes of the parentheses still open
};

// The deepest nesting of parentheses (calls included) up to where the
// formula ends; the index of the first parenthesis beyond the limit, or npos.
size_t TooDeep(std::string_view text) {
  std::vector<bool> calls;  // per open parenthesis: whether it opens a call
  int open_calls = 0;
  bool in_name = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool after_name = in_name;
    in_name = after_name ? arith::IsIdentChar(c) : arith::IsIdentStart(c);
    if (c == '"') {
      i = text.find('"', i + 1);
      if (i == std::string_view::npos) break;
    } else if (c == '(') {
      const bool call = after_name;
      if (static_cast<int>(calls.size()) >= kMaxFormulaNesting) return i;
      calls.push_back(call);
      open_calls += call;
    } else if (c == ')' && !calls.empty()) {
      open_calls -= calls.back();
      calls.pop_back();
    } else if (c == ';' && open_calls == 0) {
      break;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::string TArith::Normalize(std::string_view formula) {
  std::string out;
  out.reserve(formula.size());
  bool in_string = false;
  for (char c : formula) {
    if (c == '"') in_string = !in_string;
    if (in_string || c == '"')
      out += c;
    else if (c != ' ')
      out += AnsiUpperChar(c);
  }
  return out;
}

std::string TArith::CheckSyntax(std::string_view text) {
  if (text.size() > kMaxFormulaLength)
    return "Die Formel ist mit " + to_string(text.size()) + " Zeichen zu lang, erlaubt sind " +
           to_string(kMaxFormulaLength) + " Zeichen";
  const size_t deep = TooDeep(text);
  if (deep != std::string_view::npos)
    return "Die Klammer auf Position " + Pos(deep) + " liegt tiefer als " + to_string(kMaxFormulaNesting) +
           " verschachtelte Ebenen";
  return TSyntaxCheck(text).Run();
}

}  // namespace kv
