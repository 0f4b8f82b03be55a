#include "enforcement/pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace kv {
namespace {

// A player's name is attacker-controlled and a rule's pattern may be badly
// written: a search that backtracks past these bounds is abandoned.
constexpr uint32_t kMatchLimit = 200'000;
constexpr uint32_t kDepthLimit = 10'000;

struct TMatchContext {
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  TMatchContext() {
    pcre2_set_match_limit(context, kMatchLimit);
    pcre2_set_depth_limit(context, kDepthLimit);
  }
  ~TMatchContext() { pcre2_match_context_free(context); }
};

// One match block per thread, reused: only "matches or not" counts.
struct TMatchData {
  pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
  ~TMatchData() { pcre2_match_data_free(data); }
};

}  // namespace

struct TPattern::TCode {
  pcre2_code* code = nullptr;
  ~TCode() {
    if (code) pcre2_code_free(code);
  }
};

TPattern::~TPattern() = default;

std::shared_ptr<const TPattern> TPattern::Compile(std::string_view text, std::string& error) {
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), PCRE2_DOTALL,
                                       &code, &offset, nullptr);
  if (!compiled) {
    PCRE2_UCHAR buffer[256];
    pcre2_get_error_message(code, buffer, sizeof buffer);
    error = std::string(reinterpret_cast<const char*>(buffer)) + " at offset " + std::to_string(offset);
    return nullptr;
  }
  // The JIT is an optimisation only; without it the interpreter matches.
  pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE);
  std::shared_ptr<TPattern> pattern(new TPattern());
  pattern->text_ = std::string(text);
  pattern->code_ = std::make_unique<TCode>();
  pattern->code_->code = compiled;
  error.clear();
  return pattern;
}

bool TPattern::Search(std::string_view subject) const {
  thread_local TMatchData match;
  thread_local TMatchContext context;
  const int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                             match.data, context.context);
  return rc >= 0;
}

bool TPattern::Search(std::string_view subject, std::string& matched, std::string* error) const {
  thread_local TMatchData match;
  thread_local TMatchContext context;
  const int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                             match.data, context.context);
  if (rc < 0) {
    if (error && rc != PCRE2_ERROR_NOMATCH) {
      PCRE2_UCHAR buffer[256];
      pcre2_get_error_message(rc, buffer, sizeof buffer);
      *error = reinterpret_cast<const char*>(buffer);
    }
    return false;
  }
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match.data);
  // \K may put the start after the end; the text is then empty.
  matched = ovector[1] > ovector[0] ? std::string(subject.substr(ovector[0], ovector[1] - ovector[0]))
                                    : std::string();
  return true;
}

std::string QuotePattern(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    const bool word = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                      u == '_' || u >= 0x80 || u == ' ';
    if (c == '\0') {
      out += "\\x00";
      continue;
    }
    if (!word) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace kv
