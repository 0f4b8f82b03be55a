// THUserList, the player history store: one enciphered file per nick in
// Data/History, a plain-text index of every known nick (index.lst) and a
// cache of the histories in use. The live player tracker owns the live
// data; reports, the remote administration and the operator console look
// histories up through it.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/clock.h"
#include "core/snapshot.h"
#include "core/stream.h"
#include "core/thread_annotations.h"
#include "domain/events.h"
#include "players/history_record.h"

namespace kv {

inline constexpr const char* kHistoryIndexFile = "index.lst";
inline constexpr const char* kHistoryDamagedDir = "damaged";

struct THistoryStoreSettings {
  int32_t cache_timeout_s = 120;  // UserCacheTimeOut
};

// Ownership: the cache holds each history by std::shared_ptr. The tracker
// and other threads get a shared reference, so a history purged or renamed
// while another thread still reads it stays alive for that reader; it is
// then no longer the live history, and changes to it are not stored.
//
// Locking: one re-entrant store lock (StoreLock) guards the index and the
// cache; every operation below takes it for its whole work unless it says
// otherwise, and its own saves write the player files under it. A cached
// history's row and persistent variables are changed only under the store
// lock (the tracker holds it for its scans), which is why saving reads them
// without the history's own lock; the nick of a cached history changes only
// through RenameUser. Order: the store lock is taken before a history's
// lock and before a variable list's lock, never after.
//
// Saving behind: a purge takes the offline histories out of the cache at
// once and hands their encoded files to the store's writer thread, so that
// the disk flushes of the saves never hold up the caller (the tracker's
// event thread). Until its file is written a history stays reachable: a
// look-up takes it back into the cache. Every write and deletion of a
// player file holds the file lock (taken after the store lock, never
// before), so a deleted nick is never written again by a late save, and an
// explicit save supersedes the pending one of its nick.
class THUserList {
 public:
  using THistoryPtr = std::shared_ptr<THistoryUserEntry>;

  // Creates the directory with every missing parent (EStreamError when it
  // cannot). The index stays empty until RefreshKnownUsers. Time comes
  // from `clock`, which outlives the store.
  THUserList(std::filesystem::path directory, TClock& clock);
  // Runs FlushUsers.
  ~THUserList();
  THUserList(const THUserList&) = delete;
  THUserList& operator=(const THUserList&) = delete;

  // Any thread; taken once per purge.
  void ApplySettings(const THistoryStoreSettings& settings) { settings_.Publish(settings); }
  const std::filesystem::path& Directory() const { return directory_; }

  // The cached or stored history of a nick in the index (letter case of
  // a-z ignored), or nullptr without touching the disk when the nick is not
  // known. A history loaded from its file joins the cache.
  THistoryPtr GetUserEntry(std::string_view nick);
  // The cached history of the nick with its last use renewed, or nullptr.
  THistoryPtr TouchCached(std::string_view nick);
  // A new history owned by the caller, read from the nick's file or from a
  // path; nullptr (and a level-4 message) when it cannot be read. A file
  // that exists but holds no record is moved to damaged/. `purge` runs
  // PurgeCache first.
  std::unique_ptr<THistoryUserEntry> LoadUserByNick(std::string_view nick, bool purge);
  std::unique_ptr<THistoryUserEntry> LoadUserFromFileName(const std::filesystem::path& path, bool purge);
  // A copy owned by the caller of the nick's history as the store knows it
  // now: the cached one (or the one waiting for the writer), else read from
  // its file (LoadUserByNick without purge). The cache is not changed, so
  // readers of every player (web pages, rankings) see the players whose
  // files are not written yet and do not push the players in use out.
  std::unique_ptr<THistoryUserEntry> CopyOrLoadByNick(std::string_view nick);
  // Writes the history's file atomically (client number -999). False on
  // failure (posted at level 4). No store lock.
  bool SaveUserToFile(const THistoryUserEntry& history);
  // The store takes the history into its cache and its nick into the index;
  // its file is written later (purge, flush or save-all). A history cached
  // under the same nick already is replaced. Returns the cached history.
  THistoryPtr AddUser(THistoryPtr history);
  // Forgets the nick: index, cache and file.
  void DelUser(std::string_view nick);
  // Deletes the nick's file when it exists. No store lock.
  void DelUserFile(std::string_view nick);
  // The cached history of old_nick continues as new_nick (row and
  // persistent variables; the visit variables and pings do not survive);
  // the old nick disappears from index, cache and disk. nullptr when
  // old_nick is not cached.
  THistoryPtr RenameUser(std::string_view old_nick, std::string_view new_nick);

  // Drops every offline history unused for UserCacheTimeOut s and saves it;
  // with `wait`, returns once those files (and every other pending save)
  // have been written or have failed. Without, the writer thread saves them.
  void PurgeCache(bool wait = true);
  // Writes every pending save now (on the caller's thread). False when one
  // failed; it stays pending (and reachable) for the next attempt.
  bool WritePendingSaves();
  // Saves queued for the writer thread and not yet written.
  size_t PendingSaves() const;
  // Beyond this many pending saves a purge first writes them itself.
  static constexpr size_t kMaxPendingSaves = 4096;
  // Saves every cached history; keeps them cached.
  void SaveAllUsers();
  // Saves and drops every cached history, then writes index.lst.
  void FlushUsers();
  // Rebuilds the index from index.lst and the files present, and writes it.
  void RefreshKnownUsers();
  // Writes index.lst from the index (atomically). False on failure. Until
  // the index has been built (RefreshKnownUsers or ImportUsers) index.lst is
  // left as it is: a store that never read it must not empty it.
  bool WriteIndex();

  // The nick inside a player file, or empty. A file that exists but holds no
  // record is moved to damaged/ (level 2). No store lock.
  std::string GetUserNameFromFile(const std::filesystem::path& path);
  // A sorted copy of the index.
  std::vector<std::string> KnownNicks() const;
  size_t KnownCount() const;
  bool IsKnown(std::string_view nick) const;

  // For the tracker's scans: hold StoreLock() while walking the cache.
  int CachedCount() const;
  THistoryPtr CachedAt(int i) const;  // nullptr out of range
  // The cached history of the player in this client slot, or nullptr. The
  // tracker asks several times per kill: the history last found for a slot
  // is tried before the cache is walked.
  THistoryPtr FindCachedByClient(int32_t client_number) const;
  TRecursiveMutex& StoreLock() const RETURN_CAPABILITY(mutex_) { return mutex_; }

  // Saves the cache, clears the index, deletes every player file.
  void DeleteAllUserFiles();
  // Writes the export stream of every valid player file (after SaveAllUsers).
  void ExportUsers(TStream& stream);
  // Replaces every player file by the records of an export stream read from
  // its start. The whole stream is checked before anything is deleted: a
  // damaged stream throws EHistoryRecordError ("Error loading User-History"
  // or "... - DATA") and leaves the store as it was.
  void ImportUsers(TStream& stream);

 private:
  struct TCacheRecord {
    double last_use;
    std::string key;  // NickKey of the history's nick
    THistoryPtr history;
  };
  struct TPendingSave {
    THistoryPtr history;  // taken back into the cache by a look-up
    // The history as it was at the purge: the writer encodes its file.
    std::shared_ptr<const THistoryUserEntry> snapshot;
    std::string nick;
  };

  THistoryPtr GetUserEntryLocked(std::string_view nick) REQUIRES(mutex_);
  THistoryPtr TouchCachedLocked(std::string_view nick) REQUIRES(mutex_);
  THistoryPtr AddUserLocked(THistoryPtr history) REQUIRES(mutex_);
  void DelUserLocked(std::string_view nick) REQUIRES(mutex_);
  void PurgeCacheLocked() REQUIRES(mutex_);
  void SaveAllUsersLocked() REQUIRES(mutex_);
  void RefreshKnownUsersLocked() REQUIRES(mutex_);
  bool WriteIndexLocked() REQUIRES(mutex_);
  // Creates the directory when it is missing (a failure shows in the save).
  void MakeDirectory() const;
  std::unique_ptr<THistoryUserEntry> LoadLocked(const std::filesystem::path& path, bool purge)
      REQUIRES(mutex_);
  void DeleteAllUserFilesLocked() REQUIRES(mutex_);

  // Index: sorted by NickKey, one entry per key.
  size_t IndexLowerBound(std::string_view nick) const REQUIRES(mutex_);
  bool IndexContains(std::string_view nick) const REQUIRES(mutex_);
  void IndexAdd(std::string_view nick) REQUIRES(mutex_);
  void IndexRemove(std::string_view nick) REQUIRES(mutex_);
  void IndexSortUnique() REQUIRES(mutex_);

  void CacheErase(size_t pos) REQUIRES(mutex_);
  // The writer thread's loop.
  void WriterLoop();
  // Writes the saves pending for keys[begin, end) together (one wait for
  // the disk); false when one of them failed.
  bool WritePending(const std::vector<std::string>& keys, size_t begin, size_t end);
  static constexpr size_t kSavesPerWrite = 64;
  // Writes one player file atomically; false (posted) on failure.
  bool WriteHistoryFile(const std::string& nick, const std::string& bytes);
  // Writes the files of the nicks together; per file whether it was saved
  // (each outcome posted).
  std::vector<bool> WriteHistoryFiles(const std::vector<std::string>& nicks,
                                      const std::vector<TFileToSave>& files);
  // The pending history of the nick back into the cache, or nullptr.
  THistoryPtr RevivePendingLocked(std::string_view nick) REQUIRES(mutex_);
  // Moves a damaged file into damaged/; the new path, or empty.
  std::string MoveAside(const std::filesystem::path& path, const std::string& reason);

  const std::filesystem::path directory_;
  TClock& clock_;
  TSnapshot<THistoryStoreSettings> settings_;
  mutable TRecursiveMutex mutex_;
  // The known nicks as first seen, sorted by NickKey without a second copy
  // of the keys (100,000 nicks stay a few megabytes).
  std::vector<std::string> index_ GUARDED_BY(mutex_);
  bool index_built_ GUARDED_BY(mutex_) = false;
  std::vector<TCacheRecord> cache_ GUARDED_BY(mutex_);                    // insertion order
  std::unordered_map<std::string, size_t> cache_pos_ GUARDED_BY(mutex_);  // key -> position
  // The history last found for each client slot; only ever a cached one
  // (a history leaving the cache leaves here too).
  static constexpr int32_t kClientHints = 128;
  mutable std::array<THistoryPtr, kClientHints> client_hints_ GUARDED_BY(mutex_);
  void ForgetClientHint(const THistoryUserEntry* history) REQUIRES(mutex_);

  // Serialises writing and deleting player files; after the store lock.
  std::mutex files_mutex_;
  mutable std::mutex pending_mutex_;  // guards the four below; a leaf
  std::condition_variable pending_cv_;
  std::map<std::string, TPendingSave> pending_;  // NickKey -> the save waiting for the writer
  uint64_t pending_signal_ = 0;                  // bumped per purge that queued a save
  bool writer_stop_ = false;
  std::thread writer_;  // last: started after everything it uses
};

// A read-only look at a history directory (kvtool): every player file with
// the nick inside it, and the index lines whose file is missing.
struct THistoryFileInfo {
  std::string file_name;
  std::string nick;           // empty when the file holds no record
  std::string error;          // why not
  bool name_matches = false;  // file_name == FileNameOfNick(nick)
  bool indexed = false;       // the nick is listed in index.lst
};
struct THistoryDirectoryInfo {
  std::vector<THistoryFileInfo> files;  // sorted by file name
  std::vector<std::string> missing;     // index lines without a file
  bool has_index = false;
};
THistoryDirectoryInfo ScanHistoryDirectory(const std::filesystem::path& directory);

}  // namespace kv
