#include "players/history_store.h"

#include <algorithm>
#include <array>
#include <shared_mutex>
#include <system_error>
#include <unordered_set>

#include "core/bus.h"
#include "core/datafiles.h"
#include "core/threads.h"
#include "domain/domain.h"
#include "formats/varlist.h"

namespace kv {
namespace fs = std::filesystem;

namespace {

constexpr const char* kTempSuffix = ".tmp~";  // SaveFileAtomic's temporary files

// a-z insensitive ordering of nicks, the order of the index.
int CompareNicks(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool EndsWith(const std::string& s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

using TDigest = std::array<uint8_t, 16>;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A file name of 32 hexadecimal digits (either case) as its 16 bytes.
bool ParseDigest(std::string_view name, TDigest& out) {
  if (name.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    const int hi = HexValue(name[2 * i]), lo = HexValue(name[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

// The player files of a directory (not the index, not a save's leftover
// temporary file, no subdirectory), sorted by name.
std::vector<fs::path> PlayerFiles(const fs::path& directory) {
  std::vector<fs::path> files;
  std::error_code missing;  // a directory that does not exist holds no files
  for (const auto& entry : fs::directory_iterator(directory, missing)) {
    std::error_code ec;
    if (!entry.is_regular_file(ec)) continue;
    const std::string name = entry.path().filename().string();
    if (name == kHistoryIndexFile || EndsWith(name, kTempSuffix)) continue;
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Reads a player file whole. A file over the size cap is refused before
// reading (EHistoryRecordError: the file is damaged, not unreadable).
std::string ReadPlayerFileBytes(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (!ec && size > kMaxPlayerFileBytes)
    throw EHistoryRecordError("player file too large (" + std::to_string(size) + " bytes)");
  const std::vector<uint8_t> bytes = LoadFileBytes(path.string());
  return std::string(bytes.begin(), bytes.end());
}

// "Loading History" now, "Loading Done" when the scope ends, also by an error.
class TLoadingEvents {
 public:
  TLoadingEvents() { PostEvent(std::make_shared<TMohaaEvent>(ekLoadingHistory)); }
  ~TLoadingEvents() { PostEvent(std::make_shared<TMohaaEvent>(ekLoadingDone)); }
  TLoadingEvents(const TLoadingEvents&) = delete;
  TLoadingEvents& operator=(const TLoadingEvents&) = delete;
};

}  // namespace

THUserList::THUserList(fs::path directory, TClock& clock) : directory_(std::move(directory)), clock_(clock) {
  // A home that cannot be written still runs: histories stay in the cache,
  // and each save tries to make the directory again and says why it failed.
  std::error_code ec;
  fs::create_directories(directory_, ec);
  if (ec)
    PostGlobal("THUserList: can not create [" + directory_.string() + "] ErrorMessage:" + ec.message(),
               mlCritical);
  writer_ = std::thread([this] { WriterLoop(); });
}

void THUserList::MakeDirectory() const {
  std::error_code ec;
  if (!fs::is_directory(directory_, ec)) fs::create_directories(directory_, ec);
}

THUserList::~THUserList() {
  try {
    FlushUsers();
  } catch (const std::exception& e) {
    PostGlobal(std::string("THUserList.FlushUsers failed with: ") + e.what(), mlCritical);
  }
  {
    std::lock_guard lock(pending_mutex_);
    writer_stop_ = true;
  }
  pending_cv_.notify_all();
  if (writer_.joinable()) writer_.join();
}

// ---------------------------------------------------------------------------
// Index

size_t THUserList::IndexLowerBound(std::string_view nick) const {
  const auto it =
      std::lower_bound(index_.begin(), index_.end(), nick,
                       [](const std::string& a, std::string_view b) { return CompareNicks(a, b) < 0; });
  return static_cast<size_t>(it - index_.begin());
}

bool THUserList::IndexContains(std::string_view nick) const {
  const size_t pos = IndexLowerBound(nick);
  return pos < index_.size() && CompareNicks(index_[pos], nick) == 0;
}

void THUserList::IndexAdd(std::string_view nick) {
  const size_t pos = IndexLowerBound(nick);
  if (pos < index_.size() && CompareNicks(index_[pos], nick) == 0) return;
  index_.insert(index_.begin() + static_cast<std::ptrdiff_t>(pos), std::string(nick));
}

void THUserList::IndexRemove(std::string_view nick) {
  const size_t pos = IndexLowerBound(nick);
  if (pos < index_.size() && CompareNicks(index_[pos], nick) == 0)
    index_.erase(index_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void THUserList::IndexSortUnique() {
  std::stable_sort(index_.begin(), index_.end(),
                   [](const std::string& a, const std::string& b) { return CompareNicks(a, b) < 0; });
  index_.erase(
      std::unique(index_.begin(), index_.end(),
                  [](const std::string& a, const std::string& b) { return CompareNicks(a, b) == 0; }),
      index_.end());
}

std::vector<std::string> THUserList::KnownNicks() const {
  TRecursiveLockGuard lock(mutex_);
  return index_;
}

size_t THUserList::KnownCount() const {
  TRecursiveLockGuard lock(mutex_);
  return index_.size();
}

bool THUserList::IsKnown(std::string_view nick) const {
  TRecursiveLockGuard lock(mutex_);
  return IndexContains(nick);
}

bool THUserList::WriteIndex() {
  TRecursiveLockGuard lock(mutex_);
  return WriteIndexLocked();
}

bool THUserList::WriteIndexLocked() {
  if (!index_built_) return true;
  const fs::path path = directory_ / kHistoryIndexFile;
  try {
    TMemoryStream text;
    WriteTextLines(text, index_);
    MakeDirectory();
    SaveFileAtomic(path.string(), text);
    return true;
  } catch (const std::exception& e) {
    PostGlobal("THUserList.WriteIndex: can not write [" + path.string() + "] ErrorMessage:" + e.what(),
               mlCritical);
    return false;
  }
}

// ---------------------------------------------------------------------------
// Cache

int THUserList::CachedCount() const {
  TRecursiveLockGuard lock(mutex_);
  return static_cast<int>(cache_.size());
}

THUserList::THistoryPtr THUserList::CachedAt(int i) const {
  TRecursiveLockGuard lock(mutex_);
  if (i < 0 || static_cast<size_t>(i) >= cache_.size()) return nullptr;
  return cache_[static_cast<size_t>(i)].history;
}

THUserList::THistoryPtr THUserList::FindCachedByClient(int32_t client_number) const {
  TRecursiveLockGuard lock(mutex_);
  const bool hinted = client_number >= 0 && client_number < kClientHints;
  if (hinted) {
    const THistoryPtr& hint = client_hints_[static_cast<size_t>(client_number)];
    if (hint && hint->player.client_number == client_number) return hint;
  }
  for (const auto& slot : cache_)
    if (slot.history && slot.history->player.client_number == client_number) {
      if (hinted) client_hints_[static_cast<size_t>(client_number)] = slot.history;
      return slot.history;
    }
  return nullptr;
}

void THUserList::ForgetClientHint(const THistoryUserEntry* history) {
  for (THistoryPtr& hint : client_hints_)
    if (hint.get() == history) hint.reset();
}

void THUserList::CacheErase(size_t pos) {
  ForgetClientHint(cache_[pos].history.get());
  cache_pos_.erase(cache_[pos].key);
  cache_.erase(cache_.begin() + static_cast<std::ptrdiff_t>(pos));
  for (size_t i = pos; i < cache_.size(); ++i) cache_pos_[cache_[i].key] = i;
}

THUserList::THistoryPtr THUserList::TouchCached(std::string_view nick) {
  TRecursiveLockGuard lock(mutex_);
  return TouchCachedLocked(nick);
}

THUserList::THistoryPtr THUserList::TouchCachedLocked(std::string_view nick) {
  const auto it = cache_pos_.find(NickKey(nick));
  if (it == cache_pos_.end()) return nullptr;
  TCacheRecord& rec = cache_[it->second];
  rec.last_use = clock_.Now();
  return rec.history;
}

THUserList::THistoryPtr THUserList::GetUserEntry(std::string_view nick) {
  TRecursiveLockGuard lock(mutex_);
  return GetUserEntryLocked(nick);
}

THUserList::THistoryPtr THUserList::GetUserEntryLocked(std::string_view nick) {
  if (!IndexContains(nick)) return nullptr;
  try {
    if (THistoryPtr cached = TouchCachedLocked(nick)) return cached;
    if (THistoryPtr back = RevivePendingLocked(nick)) return back;
    // A failed load has already refreshed the index.
    THistoryPtr history = LoadLocked(directory_ / FileNameOfNick(nick), true);
    if (!history) return nullptr;
    // The file belongs to the nick it is named after; a record that names
    // another player (a file copied over) is kept under this nick, so that
    // it is found and saved where it was found.
    if (NickKey(history->player.name) != NickKey(nick)) history->player.name = std::string(nick);
    const std::string key = NickKey(nick);
    cache_pos_[key] = cache_.size();
    cache_.push_back({clock_.Now(), key, history});
    PostGlobal("THUserList.GetUserEntry [" + std::string(nick) + "] added to cache", mlInformation);
    return history;
  } catch (const std::exception&) {
    IndexRemove(nick);
    return nullptr;
  }
}

std::unique_ptr<THistoryUserEntry> THUserList::CopyOrLoadByNick(std::string_view nick) {
  {
    TRecursiveLockGuard lock(mutex_);
    const std::string key = NickKey(nick);
    THistoryPtr known;
    if (const auto it = cache_pos_.find(key); it != cache_pos_.end()) known = cache_[it->second].history;
    if (!known) {
      std::lock_guard pending_lock(pending_mutex_);
      if (const auto it = pending_.find(key); it != pending_.end()) known = it->second.history;
    }
    // The row and the persistent variables change only under the store
    // lock: the copy is the history of one moment.
    if (known) {
      std::shared_lock history_lock(known->lock);
      return std::make_unique<THistoryUserEntry>(*known);
    }
  }
  return LoadUserByNick(nick, false);
}

THUserList::THistoryPtr THUserList::AddUser(THistoryPtr history) {
  THistoryPtr added;
  {
    TRecursiveLockGuard lock(mutex_);
    added = AddUserLocked(std::move(history));
  }
  PurgeCache();
  return added;
}

THUserList::THistoryPtr THUserList::AddUserLocked(THistoryPtr history) {
  if (!history) return nullptr;
  const std::string nick = history->player.name;
  const std::string key = NickKey(nick);
  const auto it = cache_pos_.find(key);
  if (it != cache_pos_.end()) {
    ForgetClientHint(cache_[it->second].history.get());
    cache_[it->second] = {clock_.Now(), key, history};
  } else {
    cache_pos_[key] = cache_.size();
    cache_.push_back({clock_.Now(), key, history});
  }
  PostGlobal("THUserList.AddUser [" + nick + "] added to cache", mlInformation);
  IndexAdd(nick);
  PostGlobal("THUserList.AddUser added: " + nick, mlInformation);
  return history;
}

void THUserList::DelUser(std::string_view nick) {
  {
    TRecursiveLockGuard lock(mutex_);
    DelUserLocked(nick);
  }
  DelUserFile(nick);
  PostGlobal("THUserList UserDel: " + std::string(nick), mlInformation);
}

void THUserList::DelUserLocked(std::string_view nick) {
  IndexRemove(nick);
  const auto it = cache_pos_.find(NickKey(nick));
  if (it == cache_pos_.end()) return;
  PostGlobal("THUserList.DelUser [" + std::string(nick) + "] removed from cache", mlInformation);
  CacheErase(it->second);
}

void THUserList::DelUserFile(std::string_view nick) {
  const std::string name = FileNameOfNick(nick);
  std::lock_guard files(files_mutex_);
  {
    std::lock_guard lock(pending_mutex_);
    pending_.erase(NickKey(nick));
  }
  std::error_code ec;
  if (fs::remove(directory_ / name, ec))
    PostGlobal("THUserList.DelUserFile [" + std::string(nick) + "] removed from database [" + name + "]",
               mlInformation);
}

THUserList::THistoryPtr THUserList::RenameUser(std::string_view old_nick, std::string_view new_nick) {
  THistoryPtr renamed;
  {
    TRecursiveLockGuard lock(mutex_);
    const THistoryPtr old_history = TouchCachedLocked(old_nick);
    if (!old_history) return nullptr;
    THistoryPtr clone = ClonePlayer(old_history.get());
    clone->player.name = std::string(new_nick);
    PostGlobal("THUserList.RenameUser renaming User from: [" + std::string(old_nick) + "] to: [" +
                   std::string(new_nick) + "]",
               mlInformation);
    DelUserLocked(old_nick);
    renamed = AddUserLocked(clone);
    // The new file is written before the old one goes, so that a crash in
    // between leaves the history under one nick or the other, never under
    // none. A rename that changes only the letter case keeps its file.
    SaveUserToFile(*renamed);
    if (NickKey(old_nick) != NickKey(new_nick)) DelUserFile(old_nick);
  }
  PostGlobal("THUserList UserDel: " + std::string(old_nick), mlInformation);
  PurgeCache();
  return renamed;
}

void THUserList::PurgeCache(bool wait) {
  {
    TRecursiveLockGuard lock(mutex_);
    PurgeCacheLocked();
  }
  if (wait) WritePendingSaves();
}

void THUserList::PurgeCacheLocked() {
  const auto settings = settings_.Get();
  const double now = clock_.Now();
  const double timeout = settings->cache_timeout_s / kSecondsPerDay;
  // A disk that cannot keep up holds the purges back rather than letting the
  // saves pile up in memory without bound.
  if (PendingSaves() >= kMaxPendingSaves) WritePendingSaves();
  bool queued = false;
  size_t i = 0;
  while (i < cache_.size()) {
    const TCacheRecord& rec = cache_[i];
    const int32_t client = rec.history->player.client_number;
    const bool offline = client == kClientNotSet || client == kNoPlayer;
    if (!(now > rec.last_use + timeout && offline)) {
      ++i;
      continue;
    }
    // The file is taken as the history is at this moment (a copy that
    // shares the variables until the history changes again); the writer
    // thread encodes and writes it.
    std::shared_ptr<const THistoryUserEntry> snapshot = ClonePlayer(rec.history.get());
    {
      std::lock_guard lock(pending_mutex_);
      pending_[rec.key] = TPendingSave{rec.history, std::move(snapshot), rec.history->player.name};
    }
    queued = true;
    PostGlobal("THUserList.PurgeCache [" + rec.history->player.name + "] removed from cache", mlInformation);
    CacheErase(i);
  }
  if (queued) {
    {
      std::lock_guard lock(pending_mutex_);
      ++pending_signal_;
    }
    pending_cv_.notify_one();
  }
}

THUserList::THistoryPtr THUserList::RevivePendingLocked(std::string_view nick) {
  const std::string key = NickKey(nick);
  THistoryPtr history;
  {
    std::lock_guard lock(pending_mutex_);
    const auto it = pending_.find(key);
    if (it == pending_.end()) return nullptr;
    history = it->second.history;
  }
  // Its save may still run: it writes the file as it was at the purge, and
  // the next purge or save writes the newer one after it.
  cache_pos_[key] = cache_.size();
  cache_.push_back({clock_.Now(), key, history});
  PostGlobal("THUserList.GetUserEntry [" + std::string(nick) + "] added to cache", mlInformation);
  return history;
}

void THUserList::WriterLoop() {
  // Its messages never wait for the bus: a subscriber the bus waits for may
  // itself be waiting for the file lock this thread holds.
  ExemptThisThreadFromBusWaits();
  // Saving can wait a little; the events that need the processor cannot.
  RunThisThreadInBackground();
  NameThisThread("history writer");
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock lock(pending_mutex_);
      pending_cv_.wait(lock, [&] { return writer_stop_ || pending_signal_ != seen; });
      if (writer_stop_) return;
      seen = pending_signal_;
    }
    // A save that fails stays pending until the next purge wakes the writer.
    WritePendingSaves();
  }
}

bool THUserList::WritePendingSaves() {
  std::vector<std::string> keys;
  {
    std::lock_guard lock(pending_mutex_);
    for (const auto& entry : pending_) keys.push_back(entry.first);
  }
  bool ok = true;
  for (size_t at = 0; at < keys.size(); at += kSavesPerWrite)
    ok = WritePending(keys, at, std::min(keys.size(), at + kSavesPerWrite)) && ok;
  return ok;
}

bool THUserList::WritePending(const std::vector<std::string>& keys, size_t begin, size_t end) {
  std::lock_guard file_lock(files_mutex_);
  std::vector<std::pair<std::string, TPendingSave>> saves;
  {
    std::lock_guard lock(pending_mutex_);
    for (size_t i = begin; i < end; ++i) {
      const auto it = pending_.find(keys[i]);
      if (it != pending_.end())
        saves.emplace_back(keys[i], it->second);  // else written, superseded or deleted
    }
  }
  if (saves.empty()) return true;
  std::vector<std::string> nicks;
  std::vector<std::string> encoded;
  std::vector<size_t> which;  // saves[which[k]] is written from encoded[k]
  encoded.reserve(saves.size());
  for (size_t i = 0; i < saves.size(); ++i) {
    const TPendingSave& save = saves[i].second;
    try {
      encoded.push_back(EncodePlayerFile(*save.snapshot));
    } catch (const std::exception& e) {
      // Stays pending, like a save the disk refused.
      PostGlobal("THUserList.SaveUserToFile: can not save user [" + save.nick + "] ErrorMessage:" + e.what(),
                 mlCritical);
      continue;
    }
    nicks.push_back(save.nick);
    which.push_back(i);
  }
  std::vector<TFileToSave> files;
  for (size_t k = 0; k < which.size(); ++k)
    files.push_back({(directory_ / FileNameOfNick(nicks[k])).string(), encoded[k].data(), encoded[k].size()});
  const std::vector<bool> saved = WriteHistoryFiles(nicks, files);
  std::lock_guard lock(pending_mutex_);
  for (size_t k = 0; k < which.size(); ++k) {
    if (!saved[k]) continue;
    const auto& [key, save] = saves[which[k]];
    const auto it = pending_.find(key);
    // A purge meanwhile queued a newer state of the nick: that one still waits.
    if (it != pending_.end() && it->second.snapshot == save.snapshot) pending_.erase(it);
  }
  return which.size() == saves.size() && std::find(saved.begin(), saved.end(), false) == saved.end();
}

size_t THUserList::PendingSaves() const {
  std::lock_guard lock(pending_mutex_);
  return pending_.size();
}

void THUserList::SaveAllUsers() {
  TRecursiveLockGuard lock(mutex_);
  SaveAllUsersLocked();
}

void THUserList::SaveAllUsersLocked() {
  for (const TCacheRecord& rec : cache_) SaveUserToFile(*rec.history);
}

void THUserList::FlushUsers() {
  TRecursiveLockGuard lock(mutex_);
  WritePendingSaves();
  size_t i = 0;
  while (i < cache_.size()) {
    const THistoryPtr history = cache_[i].history;
    IndexAdd(history->player.name);
    // At shutdown a history that cannot be written stays cached: a later
    // flush (the store's destruction) tries again.
    if (SaveUserToFile(*history)) {
      PostGlobal("THUserList.FlushUsers [" + history->player.name + "] removed from cache", mlInformation);
      CacheErase(i);
    } else {
      ++i;
    }
  }
  WriteIndexLocked();
}

// ---------------------------------------------------------------------------
// Files

bool THUserList::SaveUserToFile(const THistoryUserEntry& history) {
  const std::string& nick = history.player.name;
  std::string bytes;
  try {
    bytes = EncodePlayerFile(history);
  } catch (const std::exception& e) {
    PostGlobal("THUserList.SaveUserToFile: can not save user [" + nick +
                   "] to file: " + (directory_ / FileNameOfNick(nick)).string() + " ErrorMessage:" + e.what(),
               mlCritical);
    return false;
  }
  std::lock_guard files(files_mutex_);
  {
    // This save is the newer word on the nick: a pending one must not
    // overwrite it later.
    std::lock_guard lock(pending_mutex_);
    pending_.erase(NickKey(nick));
  }
  return WriteHistoryFile(nick, bytes);
}

bool THUserList::WriteHistoryFile(const std::string& nick, const std::string& bytes) {
  const std::vector<TFileToSave> file{
      {(directory_ / FileNameOfNick(nick)).string(), bytes.data(), bytes.size()}};
  return WriteHistoryFiles({nick}, file)[0];
}

std::vector<bool> THUserList::WriteHistoryFiles(const std::vector<std::string>& nicks,
                                                const std::vector<TFileToSave>& files) {
  MakeDirectory();
  const std::vector<std::string> errors = SaveFilesAtomic(files);
  std::vector<bool> saved(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    saved[i] = errors[i].empty();
    if (saved[i])
      PostGlobal("THUserList.SaveUserToFile [" + nicks[i] + "] saved to file: " + files[i].path,
                 mlInformation);
    else
      PostGlobal("THUserList.SaveUserToFile: can not save user [" + nicks[i] + "] to file: " + files[i].path +
                     " ErrorMessage:" + errors[i],
                 mlCritical);
  }
  return saved;
}

std::unique_ptr<THistoryUserEntry> THUserList::LoadUserByNick(std::string_view nick, bool purge) {
  return LoadUserFromFileName(directory_ / FileNameOfNick(nick), purge);
}

std::unique_ptr<THistoryUserEntry> THUserList::LoadUserFromFileName(const fs::path& path, bool purge) {
  TRecursiveLockGuard lock(mutex_);
  WritePendingSaves();  // the file read is the newest one
  return LoadLocked(path, purge);
}

std::unique_ptr<THistoryUserEntry> THUserList::LoadLocked(const fs::path& path, bool purge) {
  if (purge) PurgeCacheLocked();
  bool read = false;
  try {
    const std::string bytes = ReadPlayerFileBytes(path);
    read = true;
    auto history = DecodePlayerFile(bytes);
    PostGlobal("THUserList.LoadUserFromFileName [" + history->player.name +
                   "] loaded from to file: " + path.string(),
               mlInformation);
    return history;
  } catch (const std::exception& e) {
    PostGlobal("THUserList.LoadUserFromFileName: can not load user from [" + path.string() +
                   "] ErrorMessage:" + e.what(),
               mlCritical);
    // A file that was read but holds no record is set aside; one that could
    // not be read at all (missing, no permission, a disk error) is left.
    const bool damaged = read || dynamic_cast<const EHistoryRecordError*>(&e) != nullptr;
    if (damaged) MoveAside(path, e.what());
  }
  RefreshKnownUsersLocked();
  return nullptr;
}

std::string THUserList::GetUserNameFromFile(const fs::path& path) {
  std::string bytes;
  try {
    bytes = ReadPlayerFileBytes(path);
  } catch (const EHistoryRecordError& e) {
    MoveAside(path, e.what());
    return {};
  } catch (const std::exception& e) {
    PostGlobal(std::string("THUserList.GetUserNameFromFile can not Load User: ") + e.what(), mlWarning);
    return {};
  }
  try {
    return DecodePlayerFileNick(bytes);
  } catch (const std::exception& e) {
    MoveAside(path, e.what());
    return {};
  }
}

std::string THUserList::MoveAside(const fs::path& path, const std::string& reason) {
  const fs::path dir = directory_ / kHistoryDamagedDir;
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::path target = dir / path.filename();
  for (int n = 1; !ec && fs::exists(target, ec) && n < 1000; ++n)
    target = dir / (path.filename().string() + "." + std::to_string(n));
  if (!ec) fs::rename(path, target, ec);
  if (ec) {
    PostGlobal("THUserList: damaged player file [" + path.string() +
                   "] could not be moved aside: " + ec.message() + " (" + reason + ")",
               mlWarning);
    return {};
  }
  PostGlobal("THUserList: damaged player file [" + path.string() + "] moved to [" + target.string() +
                 "] ErrorMessage:" + reason,
             mlWarning);
  return target.string();
}

// ---------------------------------------------------------------------------
// Whole-store operations

void THUserList::RefreshKnownUsers() {
  PostGlobal("THUserList.RefreshKnownUsers - Started", mlInformation);
  {
    TRecursiveLockGuard lock(mutex_);
    RefreshKnownUsersLocked();
  }
  PostGlobal("THUserList.RefreshKnownUsers - Stopped", mlInformation);
}

void THUserList::RefreshKnownUsersLocked() {
  TLoadingEvents events;
  // The scan sees every file; a save that still fails keeps its nick below.
  WritePendingSaves();
  index_.clear();
  index_built_ = true;
  std::vector<std::string> old_nicks;
  try {
    TMemoryStream text(LoadFileBytes((directory_ / kHistoryIndexFile).string()));
    old_nicks = ReadTextLines(text);
  } catch (const std::exception& e) {
    PostGlobal(std::string("THUserList.RefreshKnownUsers - No Index found: ") + e.what(), mlWarning);
  }
  // The expected file names as binary digests with the old nick's position,
  // sorted: 20 bytes a nick, where a map of names would take five times as
  // much on a store of 100,000 players.
  std::vector<std::pair<TDigest, uint32_t>> expected;
  expected.reserve(old_nicks.size());
  for (size_t i = 0; i < old_nicks.size(); ++i) {
    TDigest d;
    if (!old_nicks[i].empty() && ParseDigest(FileNameOfNick(old_nicks[i]), d))
      expected.emplace_back(d, static_cast<uint32_t>(i));
  }
  std::sort(expected.begin(), expected.end());
  std::vector<bool> taken(old_nicks.size());

  std::vector<fs::path> unmatched;
  std::error_code missing;  // a directory that does not exist holds no files
  for (const auto& entry : fs::directory_iterator(directory_, missing)) {
    std::error_code ec;
    if (!entry.is_regular_file(ec)) continue;
    const std::string name = entry.path().filename().string();
    if (name == kHistoryIndexFile || EndsWith(name, kTempSuffix)) continue;
    TDigest d;
    if (ParseDigest(name, d)) {
      // Letter case of the file name ignored, as the nick's own case is.
      auto it = std::lower_bound(expected.begin(), expected.end(), std::make_pair(d, uint32_t{0}));
      if (it != expected.end() && it->first == d && !taken[it->second]) {
        taken[it->second] = true;
        index_.push_back(std::move(old_nicks[it->second]));
        continue;
      }
    }
    unmatched.push_back(entry.path());
  }
  // Files without an index line are found again through the nick inside.
  std::sort(unmatched.begin(), unmatched.end());
  for (const fs::path& file : unmatched) {
    const std::string nick = GetUserNameFromFile(file);
    if (!nick.empty() && FileNameOfNick(nick) == file.filename().string()) index_.push_back(nick);
  }
  for (const TCacheRecord& rec : cache_) index_.push_back(rec.history->player.name);
  {
    std::lock_guard lock(pending_mutex_);
    for (const auto& entry : pending_) index_.push_back(entry.second.nick);
  }
  IndexSortUnique();
  WriteIndexLocked();
}

void THUserList::DeleteAllUserFiles() {
  TRecursiveLockGuard lock(mutex_);
  DeleteAllUserFilesLocked();
}

void THUserList::DeleteAllUserFilesLocked() {
  SaveAllUsersLocked();
  {
    std::lock_guard files(files_mutex_);
    std::lock_guard lock(pending_mutex_);
    pending_.clear();
  }
  index_.clear();
  for (const fs::path& file : PlayerFiles(directory_)) {
    std::error_code ec;
    fs::remove(file, ec);
  }
}

void THUserList::ExportUsers(TStream& stream) {
  TRecursiveLockGuard lock(mutex_);
  WritePendingSaves();
  SaveAllUsersLocked();
  // The count goes first; it is written in place once known, so the records
  // go straight to the stream instead of through a second buffer.
  const uint64_t count_at = stream.Position();
  WriteExportHeader(stream, 0);
  int32_t count = 0;
  for (const fs::path& file : PlayerFiles(directory_)) {
    const std::string nick = GetUserNameFromFile(file);
    if (nick.empty() || FileNameOfNick(nick) != file.filename().string()) continue;
    const auto history = LoadLocked(file, true);
    if (!history) continue;
    WriteHistoryRecord(stream, *history);
    ++count;
  }
  const uint64_t end = stream.Position();
  stream.Seek(count_at);
  WriteExportHeader(stream, count);
  stream.Seek(end);
}

void THUserList::ImportUsers(TStream& stream) {
  TRecursiveLockGuard lock(mutex_);
  TLoadingEvents events;
  // The whole stream is checked first: a damaged one throws here, before a
  // single file has been deleted.
  ReadExportStream(stream, {});
  DeleteAllUserFilesLocked();
  index_built_ = true;
  std::vector<std::string> imported;
  ReadExportStream(stream, [this, &imported](std::unique_ptr<THistoryUserEntry> history) {
    SaveUserToFile(*history);
    imported.push_back(history->player.name);
  });
  index_ = std::move(imported);
  // Histories still cached (players online now) stay known.
  for (const TCacheRecord& rec : cache_) index_.push_back(rec.history->player.name);
  IndexSortUnique();
  WriteIndexLocked();
}

// ---------------------------------------------------------------------------
// Read-only directory scan

THistoryDirectoryInfo ScanHistoryDirectory(const fs::path& directory) {
  THistoryDirectoryInfo info;
  std::vector<std::string> index;
  try {
    TMemoryStream text(LoadFileBytes((directory / kHistoryIndexFile).string()));
    index = ReadTextLines(text);
    info.has_index = true;
  } catch (const std::exception&) {
  }
  std::unordered_set<std::string> index_files;
  for (const std::string& nick : index)
    if (!nick.empty()) index_files.insert(FileNameOfNick(nick));
  std::unordered_set<std::string> present;
  for (const fs::path& file : PlayerFiles(directory)) {
    THistoryFileInfo f;
    f.file_name = file.filename().string();
    present.insert(NickKey(f.file_name));
    try {
      f.nick = DecodePlayerFile(ReadPlayerFileBytes(file))->player.name;
      f.name_matches = FileNameOfNick(f.nick) == f.file_name;
      f.indexed = index_files.count(FileNameOfNick(f.nick)) > 0;
    } catch (const std::exception& e) {
      f.error = e.what();
    }
    info.files.push_back(std::move(f));
  }
  for (const std::string& nick : index)
    if (!nick.empty() && !present.count(FileNameOfNick(nick))) info.missing.push_back(nick);
  return info;
}

}  // namespace kv
