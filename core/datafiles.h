// The data files under home/Data: one fixed table of every file with its
// load label, its place in the load and save order and its section in the
// setup export, and a registry into which each owner plugs its load and
// save. A file whose owner has not registered is neither read nor written.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/stream.h"

namespace kv {

enum class TDataFileId : int {
  OldMsg,
  KickReasons,
  KillingSpring,
  ChatTrigger,
  History,  // the player history store: a directory the store manages itself
  WeaponsBan,
  EventMessages,
  StatsConfig,
  Configurations,
  BanList,
  ServerAccess,
  SkinList,
  HotKeys,
};
inline constexpr int kDataFileCount = 13;

struct TDataFileInfo {
  TDataFileId id;
  const char* file_name;   // below home/Data
  const char* load_label;  // prefix of its line in the collected load error
  int export_section;      // 2..10 in the setup export; 0 = not exported
};
const TDataFileInfo& DataFileInfo(TDataFileId id);

// The orders in which the settings loader and SaveAllData visit the files.
// They differ, and the hot keys come after the settings that follow them.
extern const std::array<TDataFileId, 12> kDataFileLoadOrder;  // HotKeys is loaded later on its own
extern const std::array<TDataFileId, 12> kDataFileSaveOrder;  // HotKeys is saved last on its own

// What an owner plugs in. For an ordinary file, load replaces the owner's
// contents from the file's bytes and save writes them; the registry does
// the file handling. A file that does not exist (a fresh home) is loaded as
// an empty stream, so an owner must take an empty stream as "no entries".
// The player history store, which keeps a directory of its own, sets
// load_dir/save_dir instead. export_save/import_load give the setup export
// form where it differs from the file form (the history store); otherwise
// the file form is used.
struct TDataFileHandler {
  std::function<void(TStream&)> load;
  std::function<void(TStream&)> save;
  std::function<void(const std::filesystem::path& data_dir)> load_dir;
  std::function<void(const std::filesystem::path& data_dir)> save_dir;
  std::function<void(TStream&)> export_save;
  std::function<void(TStream&)> import_load;
  // Private files (passwords) are written for the service's user only.
  TFileAccess access = TFileAccess::Shared;
};

// Thread-safety: Register/Unregister may be called from any thread; the
// registry's lock (a leaf) guards only the table and is never held while an
// owner's function runs. Loading and saving run on the main loop thread.
class TDataFileRegistry {
 public:
  void Register(TDataFileId id, TDataFileHandler handler);
  void Unregister(TDataFileId id);
  bool IsRegistered(TDataFileId id) const;

  static std::filesystem::path DataDir(const std::filesystem::path& home) { return home / "Data"; }
  // Creates home/Data when missing (EStreamError with the system's text).
  static void EnsureDataDir(const std::filesystem::path& home);

  // Loads one file into its owner; without an owner nothing happens. A
  // file that does not exist loads as an empty stream. Throws what reading
  // or the owner threw.
  void Load(TDataFileId id, const std::filesystem::path& home) const;
  // Saves one file atomically (temporary file, flush, rename). Nothing
  // happens without an owner.
  void Save(TDataFileId id, const std::filesystem::path& home) const;

  // The setup export: the owner's section bytes, or nothing (false) when the
  // section has no owner. ImportSection hands the bytes to the owner; false
  // when there is none (the section is then ignored).
  bool ExportSection(int section, TStream& out) const;
  bool ImportSection(int section, TStream& in) const;
  bool HasSectionOwner(int section) const;

 private:
  bool Find(TDataFileId id, TDataFileHandler& out) const;
  static const TDataFileInfo* InfoForSection(int section);

  mutable std::mutex mutex_;  // guards handlers_ (a leaf)
  std::array<TDataFileHandler, kDataFileCount> handlers_{};
  std::array<bool, kDataFileCount> registered_{};
};

// Text data files (OldMsg.dat, KickReasons.dat, SkinList.dat): one entry a
// line, each ended by CR LF. Reading accepts CR LF, LF or CR.
std::vector<std::string> ReadTextLines(TStream& stream);
void WriteTextLines(TStream& stream, const std::vector<std::string>& lines);

}  // namespace kv
