// The statistics web site: an index page of every known player and one page
// per player with his stored values (a player in use as the cache holds
// him, every other one from his file), written into the operator's report
// directory.
//
// The pages are built in a fresh directory beside the target and swapped in
// by rename, so a failed or cancelled generation leaves the previous site as
// it was. An existing target is replaced only when an earlier generation
// left its marker file there, or when it is empty: a mistyped directory
// holding other files is never deleted.
#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "players/history_store.h"

namespace kv {

// The file every generation leaves in its directory.
inline constexpr const char* kWebStatsMarker = ".kelvandrome-stats";

// Text made safe for HTML text and attribute values (& < > " ').
std::string HtmlEscape(std::string_view text);

struct TWebStatsOptions {
  // Where the optional page templates are (header-userlist.html,
  // footer-userlist.html, header-user.html, footer-user.html).
  std::filesystem::path template_dir{};
  // A progress message every this many players (0: none).
  size_t progress_every = 500;
  // Called with each progress text instead of posting it (tests).
  std::function<void(const std::string&)> progress{};
  // Looked at between players: true ends the generation; the target stays
  // as it was.
  std::function<bool()> cancelled{};
};

// One site generator over one store. Generate runs at most once at a time.
class TWebStats {
 public:
  explicit TWebStats(THUserList& store) : store_(store) {}
  TWebStats(const TWebStats&) = delete;
  TWebStats& operator=(const TWebStats&) = delete;

  enum class TResult { Busy, Done, Failed };
  // Writes the site into `directory` (absolute) on the caller's thread.
  // Busy at once while another generation runs; Done when the new site is
  // in place; Failed when it was refused, failed or was cancelled (posted
  // under "GLOBAL": a refusal or failure at level 4).
  TResult Generate(const std::filesystem::path& directory, const TWebStatsOptions& options);
  bool Busy() const { return busy_.load(); }

 private:
  THUserList& store_;
  std::atomic<bool> busy_{false};
};

}  // namespace kv
