#include "gamelink/console.h"

#include <algorithm>
#include <exception>

#include "core/bus.h"
#include "core/clock.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "domain/domain.h"
#include "domain/settings.h"
#include "formats/config.h"
#include "gamelink/rcon.h"

namespace kv {
using namespace regional;
namespace {

// A delivered text: counted by the flood filter and announced.
void Delivered(TMohaaServerInfo& info, const std::string& text) {
  if (auto filter = LastConsoleMsgs(info)) filter->RecordDelivery(text);
  PostEvent(std::make_shared<TMohaaEvent>(ekMessageSend, text));
}

bool SayNow(TMohaaServerInfo& info, const std::string& text, bool keep_responsive, bool skip_filter) {
  if (!skip_filter) {
    auto filter = LastConsoleMsgs(info);
    // Refused by the filter is a rule that worked, not a failure.
    if (filter && !filter->MaySend(text)) return true;
  }
  const std::string reply = SendMohaMessage(info, SayCommand(text), keep_responsive, -1, rpMessage);
  if (!ReplyShowsDelivery(info.Settings(), reply)) return false;
  Delivered(info, text);
  return true;
}

}  // namespace

void SetMessageExpander(TMohaaServerInfo& info, TMessageExpander expander) {
  info.SetMessageExpander(std::move(expander));
}

std::string ExpandMessage(TMohaaServerInfo* info, const std::string& text, const TReplaceArray& extra,
                          int32_t player_id, const TMohaaEvent* event) {
  const auto expander = info ? info->MessageExpander() : nullptr;
  return expander ? (*expander)(info, text, extra, player_id, event) : text;
}

std::string ConsoleSafeText(std::string text) {
  for (char& c : text) {
    if (c == '"')
      c = '\'';
    else if (c == ';')
      c = ',';
    else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      c = ' ';  // no control character reaches the console
  }
  return text;
}

std::string SayCommand(const std::string& text, bool make_safe) {
  return "Say \"" + (make_safe ? ConsoleSafeText(text) : text) + "\"";
}

bool ReplyShowsDelivery(const TSettingsReader& settings, const std::string& reply) {
  const char* word = settings.Bool("QuakeRCON") ? "PRINT" : "BROADCAST";
  return AnsiUpperCase(reply).find(word) != std::string::npos;
}

std::string NotDeliveredReason(const std::string& reply) {
  const bool answered = reply.compare(0, 4, "\xFF\xFF\xFF\xFF") == 0;
  return answered ? "the server answered: " + RconProblemText(reply) : RconProblemText(reply);
}

// --- flood filter ------------------------------------------------------------

bool TLastConsoleMsgs::MaySend(const std::string& text) {
  if (!settings_.Bool("FilterMessagesSend")) return true;
  const int32_t max_occured = settings_.Int("FilterMessagesSendMaxOccured");
  const std::string upper = AnsiUpperCase(text);
  TLockGuard lock(mutex_);
  for (const auto& e : entries_)
    if (e.text == upper) return e.count < max_occured;
  return true;
}

void TLastConsoleMsgs::RecordDelivery(const std::string& text) {
  const int32_t max_count = settings_.Int("FilterMessagesSendMaxCount");
  const std::string upper = AnsiUpperCase(text);
  TLockGuard lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.text == upper; });
  if (it != entries_.end())
    ++it->count;
  else
    entries_.push_back({upper, 1});
  while (!entries_.empty() && static_cast<int64_t>(entries_.size()) > max_count)
    entries_.erase(entries_.begin());
}

std::vector<std::string> TLastConsoleMsgs::Dump() const {
  TLockGuard lock(mutex_);
  std::vector<std::string> lines;
  lines.reserve(entries_.size());
  for (const auto& e : entries_) lines.push_back(e.text + "=" + IntToStr(e.count));
  return lines;
}

void CreateLastConsoleMsgs(TMohaaServerInfo& info) {
  info.SetConsoleFilter(std::make_shared<TLastConsoleMsgs>(info.Settings()));
}

void DestroyLastConsoleMsgs(TMohaaServerInfo& info) { info.SetConsoleFilter(nullptr); }

std::shared_ptr<TLastConsoleMsgs> LastConsoleMsgs(TMohaaServerInfo& info) { return info.ConsoleFilter(); }

// --- background sender -------------------------------------------------------

TConsoleMessage::TConsoleMessage(TMohaaServerInfo& info, std::string text, int32_t delay_seconds,
                                 int32_t repetitions, bool skip_filter, bool expand, bool make_safe,
                                 TSayDone done)
    : info_(info),
      text_(std::move(text)),
      delay_seconds_(delay_seconds),
      repetitions_(repetitions),
      skip_filter_(skip_filter),
      expand_(expand),
      make_safe_(make_safe),
      done_(std::move(done)),
      created_ms_(SteadyMs()) {}

bool TConsoleMessage::Stopping() const { return Terminated() || RconTerminating(info_); }

void TConsoleMessage::Terminate() {
  TGeneralThread::Terminate();
  pause_cv_.NotifyAll();
}

bool TConsoleMessage::PauseUntil(int64_t deadline) {
  const TShutdownFlag::TWake shutdown_wakes(&info_.rcon_terminating, pause_cv_);
  std::unique_lock lock(pause_mutex_);
  pause_cv_.WaitUntil(lock, deadline, [this] {
    pause_wakeups_.fetch_add(1, std::memory_order_relaxed);
    return Stopping();
  });
  return !Stopping();
}

bool TConsoleMessage::SendRepetition(const std::string& text, int32_t max_retry, int32_t fail_sleep_ms,
                                     std::string& why) {
  bool delivered = false;
  int32_t attempt = 0;
  for (;;) {
    ++attempt;
    const std::string reply = SendMohaMessage(info_, SayCommand(text, make_safe_), false, -1, rpMessage);
    delivered = ReplyShowsDelivery(info_.Settings(), reply);
    if (!delivered) {
      why = NotDeliveredReason(reply);
      Pause(fail_sleep_ms);
    }
    if (delivered || Stopping() || attempt >= max_retry) break;
  }
  if (!delivered && attempt >= max_retry)
    PostGlobal("Critical Error cant send (tryed " + IntToStr(attempt) + "times) Console Message: " + text,
               mlCritical);
  if (delivered) Delivered(info_, text);
  return delivered;
}

bool TConsoleMessage::Run(std::string& why) {
  why = "the service is stopping";
  if (!PauseUntil(created_ms_ + int64_t{delay_seconds_} * 1000)) return false;
  why = "empty text";
  if (text_.empty()) return false;
  std::string text = expand_ ? ExpandMessage(&info_, text_, {}, kClientNotSet, nullptr) : text_;
  if (make_safe_) text = ConsoleSafeText(std::move(text));
  if (!skip_filter_) {
    auto filter = LastConsoleMsgs(info_);
    why = "refused by the flood filter";
    if (filter && !filter->MaySend(text)) return false;
  }
  const int32_t max_retry = info_.Settings().Int("RconMaxRetry");
  const int32_t fail_sleep_ms = info_.Settings().Int("RconFailSleep");
  bool delivered = false;
  why = "the service is stopping";
  for (int32_t r = 0; r < repetitions_; ++r) {
    // One second between repetitions; none after the last, it would only
    // keep the thread alive for nothing.
    if (r > 0 && !Pause(1000)) break;
    delivered = SendRepetition(text, max_retry, fail_sleep_ms, why);
    if (Stopping()) break;
  }
  return delivered;
}

void TConsoleMessage::Execute() {
  SetStarted(true);
  bool delivered = false;
  std::string why;
  try {
    delivered = Run(why);
  } catch (const std::exception& e) {
    why = e.what();
    PostGlobal(std::string("TConsoleMessage error on sending Message Error:") + e.what(), mlDebug);
  }
  if (!done_) return;
  try {
    done_(delivered, delivered ? std::string() : why);
  } catch (const std::exception& e) {
    PostGlobal(std::string("TConsoleMessage error on sending Message Error:") + e.what(), mlDebug);
  }
}

void SendOperatorMessage(TMohaaServerInfo& info, const std::string& text, TSayDone done) {
  std::string refused;
  if (text.empty())
    refused = "empty text";
  else if (text.size() > kMaxConsoleMessage)
    refused = "longer than " + IntToStr(static_cast<int32_t>(kMaxConsoleMessage)) + " characters";
  else if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    refused = kRconLineBreakText;
  if (!refused.empty()) {
    if (done) done(false, refused);
    return;
  }
  ConsoleMessageThreads(info).Add(
      MakeThread<TConsoleMessage>(info, text, 0, 1, true, false, false, std::move(done)));
}

bool SayFinalText(TMohaaServerInfo& info, const std::string& text, bool skip_filter) {
  if (text.empty()) return false;
  return SayNow(info, ConsoleSafeText(text), false, skip_filter);
}

// --- the one entry point ------------------------------------------------------

bool SendConsoleMessage(TMohaaServerInfo& info, const std::string& message, bool background,
                        bool keep_responsive, bool skip_filter, const TReplaceArray& extra, int32_t player_id,
                        const TMohaaEvent* event, int32_t delay_seconds, int32_t repetitions,
                        bool defer_expansion) {
  if (message.size() > kMaxConsoleMessage) {
    PostGlobal("SendConsoleMessage Ignoring Message: " + message + " Error: Message to long (>200 chars)",
               mlCritical);
    return true;
  }
  if (message.empty()) return false;
  std::string text = message;
  try {
    if (!(background && defer_expansion)) text = ExpandMessage(&info, text, extra, player_id, event);
    if (background) {
      ConsoleMessageThreads(info).Add(
          MakeThread<TConsoleMessage>(info, text, delay_seconds, repetitions, skip_filter, defer_expansion));
      return true;
    }
    text = ConsoleSafeText(std::move(text));
    return SayNow(info, text, keep_responsive, skip_filter);
  } catch (const std::exception& e) {
    PostGlobal("SendConsoleMessage error: " + std::string(e.what()) + " Message:" + text, mlCritical);
    return false;
  }
}

}  // namespace kv
