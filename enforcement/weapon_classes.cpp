#include "enforcement/weapon_classes.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <mutex>
#include <vector>

#include "core/bus.h"
#include "domain/settings.h"
#include "formats/config.h"

namespace kv {

struct TWeaponClassifier::TPattern {
  std::string text;
  pcre2_code* code = nullptr;  // nullptr when the text does not compile
  ~TPattern() {
    if (code) pcre2_code_free(code);
  }
};

namespace {

// One match block per thread, reused for every call: classification runs
// for every kill line and must not allocate. One ovector pair is enough, as
// only "matches or not" counts.
struct TMatchData {
  pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
  ~TMatchData() { pcre2_match_data_free(data); }
};

pcre2_code* Compile(const std::string& text) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), PCRE2_DOTALL,
                                   &error, &offset, nullptr);
  // The JIT is an optimisation only; without it the interpreter matches.
  if (code) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  return code;
}

using T = TSettingType;

// Sorted by the game's obituary phrases, as the kill line reads once
// both names are out of it (" was sniped by  in the head").
constexpr TSettingDef kWeaponClassesRows[] = {
    {"WeaponRegExprunknown", T::String, ".*", kStartup},
    {"WeaponRegExprRifle", T::String, "was rifled by", kStartup},
    {"WeaponRegExprSniper", T::String, "was sniped by", kStartup},
    {"WeaponRegExprSub Machinegun", T::String, "was perforated by", kStartup},
    {"WeaponRegExprMachine Gun", T::String, "was machine-gunned by", kStartup},
    {"WeaponRegExprRocket", T::String, "took .*'s rocket (right in the kisser|in the face)", kStartup},
    {"WeaponRegExprShotgun", T::String, "was hunted down by|was pumped full of buckshot by", kStartup},
    {"WeaponRegExprGrenade", T::String, "tripped on .*'s grenade|is picking .*'s shrapnel out of his teeth",
     kStartup},
    {"WeaponRegExprPistol", T::String, "was gunned down by", kStartup},
};

constexpr TSettingRows kWeaponClassTables[] = {{TSettingPlace::WeaponClasses, kWeaponClassesRows}};

}  // namespace

std::span<const TSettingRows> TWeaponClassifier::SettingRows() { return kWeaponClassTables; }

TWeaponClassifier::TWeaponClassifier() { SetExpressions(DefaultExpressions()); }

TWeaponClassifier::~TWeaponClassifier() = default;

std::string TWeaponClassifier::SettingKey(int weapon_class) {
  return std::string("WeaponRegExpr") + kWeaponClassNames[weapon_class];
}

TWeaponClassifier::TExpressions TWeaponClassifier::DefaultExpressions() {
  TExpressions e;
  // The table lists the classes in their order.
  static_assert(std::size(kWeaponClassesRows) == kWeaponClassCount);
  for (int c = 0; c < kWeaponClassCount; ++c) e[c] = std::string(kWeaponClassesRows[c].def);
  return e;
}

void TWeaponClassifier::SetExpressions(const TExpressions& expressions) {
  std::array<std::unique_ptr<TPattern>, kWeaponClassCount> fresh;
  std::vector<int> illegal;
  {
    std::shared_lock lock(mutex_);
    for (int c = 0; c < kWeaponClassCount; ++c) {
      if (patterns_[c] && patterns_[c]->text == expressions[c]) continue;
      fresh[c] = std::make_unique<TPattern>();
      fresh[c]->text = expressions[c];
      fresh[c]->code = Compile(expressions[c]);
      if (!fresh[c]->code && c != wcUnknown) illegal.push_back(c);
    }
  }
  {
    std::unique_lock lock(mutex_);
    for (int c = 0; c < kWeaponClassCount; ++c)
      if (fresh[c]) patterns_[c] = std::move(fresh[c]);
  }
  // Reported once per new text, not on every kill: a bad expression would
  // otherwise flood the log for as long as the game runs.
  for (int c : illegal)
    PostGlobal(std::string("Illigal Weapon Expression : [") + kWeaponClassNames[c] + "] " + expressions[c],
               mlCritical);
}

void TWeaponClassifier::LoadFromConfig(TDynamicConfigData& config) {
  TExpressions e = DefaultExpressions();
  for (int c = 0; c < kWeaponClassCount; ++c) e[c] = config.GetStringDef(SettingKey(c), e[c]);
  SetExpressions(e);
}

TWeaponClassifier::TExpressions TWeaponClassifier::Expressions() const {
  std::shared_lock lock(mutex_);
  TExpressions e;
  for (int c = 0; c < kWeaponClassCount; ++c) e[c] = patterns_[c]->text;
  return e;
}

int TWeaponClassifier::Classify(std::string_view weapon_text) const {
  thread_local TMatchData match;
  if (!match.data) return wcUnknown;
  std::shared_lock lock(mutex_);
  for (int c = wcRifle; c < kWeaponClassCount; ++c) {
    const pcre2_code* code = patterns_[c]->code;
    if (!code) continue;
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(weapon_text.data()), weapon_text.size(), 0,
                               0, match.data, nullptr);
    // 0 means "matched, ovector too small": still a match.
    if (rc >= 0) return c;
  }
  return wcUnknown;
}

}  // namespace kv
