#include "stats/score.h"

#include <algorithm>

#include "core/bus.h"
#include "enforcement/templates.h"
#include "formula/arith.h"

namespace kv {
namespace {

constexpr const char* kNoScore = "none";
// How many placeholders the formula may leave unresolved before it is
// given up: each one becomes 1.
constexpr int kMaxUnresolvedPlaceholders = 50;

// Set while this thread computes a score: a formula that names %skills%
// would otherwise call the score function again from inside its own
// expansion, without end.
thread_local bool tl_in_score = false;

class TScoreScope {
 public:
  TScoreScope() { tl_in_score = true; }
  ~TScoreScope() { tl_in_score = false; }
  TScoreScope(const TScoreScope&) = delete;
  TScoreScope& operator=(const TScoreScope&) = delete;
};

// A placeholder the expansion did not know ("%DATAwasKilled%" of a player
// never killed, a misspelt name) counts as 1, so the formula still yields a
// number. False when more remain than the limit allows.
bool ReplaceUnresolved(std::string& text) {
  for (int i = 0; i < kMaxUnresolvedPlaceholders; ++i) {
    const size_t open = text.find('%');
    if (open == std::string::npos) return true;
    const size_t close = text.find('%', open + 1);
    if (close == std::string::npos) return false;
    text = text.substr(0, open) + '1' + text.substr(close + 1);
  }
  return text.find('%') == std::string::npos;
}

double KillsOf(const THistoryUserEntry& h) {
  TVariant v;
  if (!h.persistent.TryGetValue("hasKilled", v)) return 0;
  try {
    return v.AsDouble();
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

std::string GetScore(THUserList& store, TMohaaServerInfo* info, const std::string& formula,
                     const std::string& nick) {
  if (tl_in_score) return kNoScore;
  TScoreScope scope;
  const THUserList::THistoryPtr history = store.GetUserEntry(nick);
  if (!history) return kNoScore;
  std::string text = ExpandPlaceholders(info, formula, {}, -1, nullptr, history.get());
  if (!ReplaceUnresolved(text)) return kNoScore;
  text = TArith::Normalize(text);
  const std::string syntax = TArith::CheckSyntax(text);
  if (!syntax.empty()) {
    PostGlobal("THistoryUserList.GetScore please check the formula [" + text + "] Parse Error:" + syntax,
               mlCritical);
    return kNoScore;
  }
  try {
    TArith arith;
    const TVariant value = arith.Evaluate(text);
    if (value.IsEmptyOrNull()) return kNoScore;
    return ArithValueToText(value);
  } catch (const std::exception& e) {
    PostGlobal(
        "THistoryUserList.GetScore please check the formula [" + text + "] Calculation Error: " + e.what(),
        mlCritical);
    return kNoScore;
  }
}

std::vector<std::unique_ptr<THistoryUserEntry>> TopKillers(THUserList& store, size_t n) {
  using TEntry = std::pair<double, std::unique_ptr<THistoryUserEntry>>;
  // A heap of the n best so far with the weakest on top: memory holds n
  // histories, not every player of the store.
  auto stronger = [](const TEntry& a, const TEntry& b) { return a.first > b.first; };
  std::vector<TEntry> best;
  if (n == 0) return {};
  store.PurgeCache(true);  // what the cache learned is in the files read below
  for (const std::string& nick : store.KnownNicks()) {
    auto history = store.CopyOrLoadByNick(nick);
    if (!history || !history->persistent.Exists("hasKilled")) continue;
    const double kills = KillsOf(*history);
    if (best.size() == n && kills <= best.front().first) continue;
    best.emplace_back(kills, std::move(history));
    std::push_heap(best.begin(), best.end(), stronger);
    if (best.size() > n) {
      std::pop_heap(best.begin(), best.end(), stronger);
      best.pop_back();
    }
  }
  std::sort_heap(best.begin(), best.end(), stronger);  // most kills first
  std::vector<std::unique_ptr<THistoryUserEntry>> result;
  result.reserve(best.size());
  for (TEntry& e : best) result.push_back(std::move(e.second));
  return result;
}

std::string SafeFileName(std::string_view nick) {
  static constexpr std::string_view kAllowed = "!#%&()-;=[]_{}";
  std::string out;
  out.reserve(nick.size());
  for (const char c : nick) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum || kAllowed.find(c) != std::string_view::npos) out += c;
  }
  return out;
}

}  // namespace kv
