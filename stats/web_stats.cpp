#include "stats/web_stats.h"

#include <unistd.h>

#include <fstream>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "core/bus.h"
#include "core/cp1252.h"
#include "enforcement/templates.h"
#include "players/history_record.h"
#include "stats/score.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStarted = "THistoryUserList.GenerateStats Started";
constexpr const char* kDone = "THistoryUserList.GenerateStats Done";
constexpr const char* kFoot = "</body>\n</html>\n";

class ECancelled : public std::runtime_error {
 public:
  ECancelled() : std::runtime_error("cancelled") {}
};

// An operator's template, copied line by line; nullopt when the file is
// missing (then the page gets our own HTML5 frame).
std::optional<std::string> ReadTemplate(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text, line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    text += line;
    text += '\n';
  }
  return text;
}

struct TTemplates {
  std::optional<std::string> header_list, footer_list, header_user, footer_user;
  explicit TTemplates(const fs::path& dir)
      : header_list(ReadTemplate(dir / "header-userlist.html")),
        footer_list(ReadTemplate(dir / "footer-userlist.html")),
        header_user(ReadTemplate(dir / "header-user.html")),
        footer_user(ReadTemplate(dir / "footer-user.html")) {}
};

std::string Head(const std::string& escaped_title) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + escaped_title +
         "</title>\n</head>\n<body>\n";
}

// Stored texts are Windows-1252; the pages are UTF-8.
std::string Html(std::string_view cp1252) { return HtmlEscape(Cp1252ToUtf8(cp1252)); }

// A page name as a link target: '#' would start a fragment and '%' an
// escape, and brackets and braces are no URL characters.
std::string Href(const std::string& safe_name) {
  std::string out;
  for (const char c : safe_name) {
    switch (c) {
      case '%': out += "%25"; break;
      case '#': out += "%23"; break;
      case '[': out += "%5B"; break;
      case ']': out += "%5D"; break;
      case '{': out += "%7B"; break;
      case '}': out += "%7D"; break;
      default: out += c;
    }
  }
  return out + ".html";
}

std::string Link(const std::string& safe_name, std::string_view text) {
  return "<a href=\"" + HtmlEscape(Href(safe_name)) + "\">" + Html(text) + "</a>";
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Empty when the directory may be replaced by a new site: it does not exist,
// is empty, or holds the marker of an earlier generation. Else why not.
std::string WhyNotReplaceable(const fs::path& dir) {
  std::error_code ec;
  const fs::file_status st = fs::symlink_status(dir, ec);
  if (!fs::exists(st)) return {};
  if (fs::is_symlink(st)) return "is a link that leads nowhere";
  if (!fs::is_directory(st)) return "is no directory";
  if (fs::exists(dir / kWebStatsMarker, ec)) return {};
  if (fs::is_empty(dir, ec) && !ec) return {};
  if (ec) return "cannot be read: " + ec.message();
  return std::string("holds files the statistics pages did not write (no ") + kWebStatsMarker + " in it)";
}

// A new directory beside `target` whose name no other directory has.
fs::path MakeSibling(const fs::path& target, const char* kind) {
  const fs::path parent = target.parent_path();
  const std::string stem = "." + target.filename().string() + "." + kind + "-" + std::to_string(::getpid());
  for (int i = 0; i < 1000; ++i) {
    const fs::path p = parent / (stem + "-" + std::to_string(i));
    std::error_code ec;
    if (fs::create_directory(p, ec)) return p;
    if (ec) throw std::runtime_error("cannot create " + p.string() + ": " + ec.message());
  }
  throw std::runtime_error("cannot create a directory beside " + target.string());
}

// Removes the staging directory unless the site was swapped in.
class TStaging {
 public:
  explicit TStaging(fs::path path) : path_(std::move(path)) {}
  ~TStaging() {
    if (path_.empty()) return;
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TStaging(const TStaging&) = delete;
  TStaging& operator=(const TStaging&) = delete;
  const fs::path& Path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  fs::path path_;
};

class TSiteWriter {
 public:
  TSiteWriter(THUserList& store, const TWebStatsOptions& options, fs::path out)
      : store_(store), options_(options), templates_(options.template_dir), out_(std::move(out)) {}

  void Write(const std::vector<std::string>& nicks) {
    WriteIndex(nicks);
    for (size_t i = 0; i < nicks.size(); ++i) {
      Step("pages", i, nicks.size());
      WritePlayerPage(nicks[i]);
    }
    WriteFile(out_ / kWebStatsMarker,
              "Written by the statistics pages: the next generation replaces this directory.\n");
  }

 private:
  void Step(const char* pass, size_t i, size_t total) {
    if (options_.cancelled && options_.cancelled()) throw ECancelled();
    if (options_.progress_every == 0 || i == 0 || i % options_.progress_every != 0) return;
    const std::string text = std::string("THistoryUserList.GenerateStats ") + pass + ": " +
                             std::to_string(i) + " of " + std::to_string(total) + " players";
    if (options_.progress)
      options_.progress(text);
    else
      PostGlobal(text, mlProgress);
  }

  // Every player whose history loads gets a line; which ones did is kept
  // for the links of the player pages.
  void WriteIndex(const std::vector<std::string>& nicks) {
    std::string page = templates_.header_list ? *templates_.header_list : Head("Players");
    for (size_t i = 0; i < nicks.size(); ++i) {
      Step("index", i, nicks.size());
      const std::string& nick = nicks[i];
      if (!store_.CopyOrLoadByNick(nick)) continue;
      loaded_.emplace(NickKey(nick), nick);
      const std::string safe = SafeFileName(nick);
      if (!safe.empty()) page += Link(safe, nick) + "<br>\n";
    }
    page += templates_.footer_list ? *templates_.footer_list : kFoot;
    WriteFile(out_ / "index.html", page);
  }

  // "Has Killed: " and a link to the victim's page when the victim is a
  // player with a page, else the variable's name.
  std::string KillLabel(std::string_view name, const char* prefix) const {
    const size_t open = name.find('[');
    if (open == std::string_view::npos) return prefix;
    const std::string target(open + 2 <= name.size() ? name.substr(open + 1, name.size() - open - 2) : "");
    const auto it = loaded_.find(NickKey(target));
    // The page carries the index's spelling of the nick: the link uses it
    // too, so it holds on a file system that tells letter case apart.
    const std::string safe = it != loaded_.end() ? SafeFileName(it->second) : "";
    if (safe.empty()) return prefix + Html(name);
    return prefix + Link(safe, target);
  }

  void WritePlayerPage(const std::string& nick) {
    const auto history = store_.CopyOrLoadByNick(nick);
    if (!history) return;
    std::string page;
    if (!templates_.header_user) page = Head(nick.empty() ? "Player" : "Player " + Html(nick));
    page += "Nick: " + Html(nick) + "<br>\n";
    if (templates_.header_user) page += *templates_.header_user;
    history->persistent.ForEach([&](std::string_view name, const TVariant& value) {
      std::string label;
      if (name.find("hasKilled") != std::string_view::npos)
        label = KillLabel(name, "Has Killed: ");
      else if (name.find("wasKilledfrom") != std::string_view::npos)
        label = KillLabel(name, "Was Killed from: ");
      else
        label = Html(name);
      page += label + " Value: " + Html(VariantToPlaceholderText(value)) + "<br>\n";
    });
    page += templates_.footer_user ? *templates_.footer_user : kFoot;
    WriteFile(out_ / (SafeFileName(nick) + ".html"), page);
  }

  THUserList& store_;
  const TWebStatsOptions& options_;
  const TTemplates templates_;
  const fs::path out_;
  std::unordered_map<std::string, std::string> loaded_;  // NickKey -> nick as the index has it
};

void Refuse(const fs::path& dir, const std::string& why) {
  PostGlobal("THistoryUserList.GenerateStats refused: the directory [" + dir.string() + "] " + why +
                 "; nothing in it was changed. Set ReportDir to an empty or new directory.",
             mlCritical);
}

// Builds the site beside the target and swaps it in.
bool Build(THUserList& store, const fs::path& directory, const TWebStatsOptions& options) {
  const fs::path target = fs::weakly_canonical(directory);  // a link to the site's directory stays a link
  if (!target.has_filename() || target == target.root_path()) {
    Refuse(target, "is no place for the pages");
    return false;
  }
  if (const std::string why = WhyNotReplaceable(target); !why.empty()) {
    Refuse(target, why);
    return false;
  }
  fs::create_directories(target.parent_path());
  TStaging staging(MakeSibling(target, "new"));

  store.RefreshKnownUsers();
  const std::vector<std::string> nicks = store.KnownNicks();
  store.PurgeCache(true);  // what the cache learned is in the files read below
  TSiteWriter(store, options, staging.Path()).Write(nicks);

  // Files may have arrived while the pages were written.
  if (const std::string why = WhyNotReplaceable(target); !why.empty()) {
    Refuse(target, why);
    return false;
  }
  std::error_code ec;
  fs::path old;
  if (fs::exists(fs::symlink_status(target, ec))) {
    old = MakeSibling(target, "old");
    fs::rename(target, old);
  }
  try {
    fs::rename(staging.Path(), target);
  } catch (...) {
    if (!old.empty()) fs::rename(old, target, ec);
    throw;
  }
  staging.Release();
  if (!old.empty() && fs::remove_all(old, ec) == static_cast<std::uintmax_t>(-1))
    PostGlobal("THistoryUserList.GenerateStats could not remove the previous pages in " + old.string() +
                   ": " + ec.message(),
               mlWarning);
  return true;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

TWebStats::TResult TWebStats::Generate(const fs::path& directory, const TWebStatsOptions& options) {
  bool idle = false;
  if (!busy_.compare_exchange_strong(idle, true)) return TResult::Busy;
  struct TClear {
    std::atomic<bool>& flag;
    ~TClear() { flag.store(false); }
  } clear{busy_};
  PostGlobal(kStarted, mlInformation);
  TResult result = TResult::Failed;
  try {
    if (Build(store_, directory, options)) result = TResult::Done;
  } catch (const ECancelled&) {
    PostGlobal("THistoryUserList.GenerateStats cancelled; " + directory.string() + " stays as it was",
               mlWarning);
  } catch (const std::exception& e) {
    PostGlobal("THistoryUserList.GenerateStats failed: " + std::string(e.what()) + "; " + directory.string() +
                   " stays as it was",
               mlCritical);
  }
  PostGlobal(kDone, mlInformation);
  return result;
}

}  // namespace kv
