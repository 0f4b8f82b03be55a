// The configuration store: the INI file (TConfigFile) and the cached,
// typed access to its section "Global" (TDynamicConfigData). Every setting
// is read at the moment of use, always with a default. A read never writes:
// the defaults of missing keys are written by the settings loader in one
// rewrite (StoreMissing), so reading a setting cannot fail on a full disk.
#pragma once

#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/thread_annotations.h"
#include "formats/variant.h"
#include "formats/varlist.h"

namespace kv {

class ECfgError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Type codes of the store: the value-type codes plus two of its own.
inline constexpr int kCfgUseValueType = 13;  // for writing: the value's own type
inline constexpr int kCfgDateTime = 65535;
inline constexpr int kCfgPath = 65536;
inline constexpr const char* kErrUnknownCfgType = "Unbekannter Typ f\xFCr Konfigurationsvariable";

// An INI file. Sections and keys compare without regard to case; lines the
// file holds (comments, other sections) are kept as they are. A UTF-8 byte
// order mark at the start is accepted (and kept). A line that is neither a
// section header, a key line, a comment (";" or "#") nor blank is ignored
// and reported once as a "GLOBAL" error. Every write replaces the file
// atomically. Thread-safe (one lock, a leaf: reports are posted after it is
// released).
class TConfigFile {
 public:
  explicit TConfigFile(std::string path);

  // Reads the file now; throws when it exists but cannot be read.
  void Load();

  const std::string& FileName() const { return path_; }
  bool ValueExists(std::string_view section, std::string_view key);
  // The value with surrounding blanks removed and one enclosing pair of
  // equal quote characters (" or ') removed; def when the key is missing.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def);
  // Writes key=value; a value that begins and ends with the same quote
  // character goes inside one more pair of it. Line breaks cannot be held
  // by the format and are refused (ECfgError). Throws EStreamError when the
  // file cannot be written.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  // Writes every key=value of `values` that the section does not hold yet,
  // in one rewrite of the file (none when nothing is missing). Returns the
  // number of keys written. Throws like WriteString.
  size_t WriteMissing(std::string_view section,
                      const std::vector<std::pair<std::string, std::string>>& values);
  // Writes (adds or replaces) every key=value in one rewrite of the file.
  void WriteAll(std::string_view section, const std::vector<std::pair<std::string, std::string>>& values);
  void DeleteKey(std::string_view section, std::string_view key);
  std::vector<std::string> ReadSectionKeys(std::string_view section);

 private:
  struct Line {
    std::string text;  // the line as in the file, without its line end
  };
  // Locks, re-reads the file when it changed, runs fn on the lines, and
  // reports lines that are no INI syntax after the lock is released.
  template <class F>
  auto Locked(F&& fn);
  // Re-reads the file when it changed on disk.
  void Refresh(std::vector<std::string>& bad_lines) REQUIRES(mutex_);
  void Save() REQUIRES(mutex_);
  // Sets key=value in the lines (no save); false when nothing changed.
  bool Put(std::string_view section, std::string_view key, std::string_view value, bool only_missing)
      REQUIRES(mutex_);
  // Index of the section header line, or -1.
  int FindSection(std::string_view section) const REQUIRES(mutex_);
  // Index of the key's line inside the section starting at header, or -1.
  int FindKey(int header, std::string_view key) const REQUIRES(mutex_);

  TMutex mutex_;  // guards everything below; a leaf
  std::string path_;
  std::vector<Line> lines_ GUARDED_BY(mutex_);
  int64_t loaded_mtime_ns_ GUARDED_BY(mutex_) = -1;
  int64_t loaded_size_ GUARDED_BY(mutex_) = -1;
  bool bom_ GUARDED_BY(mutex_) = false;  // the file began with a UTF-8 byte order mark
  // Lines already reported as no INI syntax.
  std::vector<std::string> reported_lines_ GUARDED_BY(mutex_);
};

// A default for TDynamicConfigData::StoreMissing.
struct TConfigDefault {
  std::string name;
  int type;
  TVariant value;
};

// Cached typed access to one section of an INI file.
class TDynamicConfigData {
 public:
  // file may be null: the store then only caches defaults.
  explicit TDynamicConfigData(TConfigFile* file, std::string section = "Global");

  void SetValue(std::string_view name, int type, const TVariant& value);
  TVariant GetValue(std::string_view name, int type);
  // The cached value, else the file's, else the default; caches the result.
  // Never writes the file. When the file cannot be read, the default is
  // returned (and not cached, so the file is asked again next time).
  TVariant GetValueDef(std::string_view name, int type, const TVariant& def);
  // Writes, in one rewrite of the file, every key of `defaults` that the
  // file lacks: with the value already cached for it (a reader came first),
  // else with its default. The cache takes these values first, so a write
  // that fails (thrown to the caller) leaves every reader with them.
  // Returns the number of keys written.
  size_t StoreMissing(const std::vector<TConfigDefault>& defaults);
  // Writes every cached value to the file in its own type, in one rewrite
  // (after an import replaced the cache).
  void StoreCache();

  std::string GetString(std::string_view name) { return GetValue(name, vtString).AsString(); }
  std::string GetStringDef(std::string_view name, std::string_view def) {
    return GetValueDef(name, vtString, TVariant(std::string(def))).AsString();
  }
  void SetString(std::string_view name, std::string_view v) {
    SetValue(name, vtString, TVariant(std::string(v)));
  }
  int32_t GetInteger(std::string_view name) { return GetValue(name, vtInteger).AsInteger(); }
  int32_t GetIntegerDef(std::string_view name, int32_t def) {
    return GetValueDef(name, vtInteger, TVariant(def)).AsInteger();
  }
  void SetInteger(std::string_view name, int32_t v) { SetValue(name, vtInteger, TVariant(v)); }
  bool GetBool(std::string_view name) { return GetValue(name, vtBoolean).AsBool(); }
  bool GetBoolDef(std::string_view name, bool def) {
    return GetValueDef(name, vtBoolean, TVariant(def)).AsBool();
  }
  void SetBool(std::string_view name, bool v) { SetValue(name, vtBoolean, TVariant(v)); }
  double GetDateTimeDef(std::string_view name, double def) {
    return GetValueDef(name, kCfgDateTime, TVariant::Date(def)).AsDouble();
  }
  void SetDateTime(std::string_view name, double v) { SetValue(name, kCfgDateTime, TVariant::Date(v)); }
  std::string GetPathDef(std::string_view name, std::string_view def) {
    return GetValueDef(name, kCfgPath, TVariant(std::string(def))).AsString();
  }

  // The whole cache as a variable list (what the setup export carries) and
  // its wholesale replacement on import. The INI file is not rewritten:
  // imported values reach it when they are next set.
  TVarList CacheSnapshot() const { return cache_; }
  void ReplaceCache(const TVarList& values) { cache_.Assign(&values); }

  TConfigFile* File() const { return file_; }
  const std::string& Section() const { return section_; }

 private:
  TVariant ReadFromFile(std::string_view name, int type);
  static std::string ToText(int type, const TVariant& value);

  TConfigFile* file_;
  std::string section_;
  TVarList cache_;
};

// The date and time as regional text; empty text for the time 0.
std::string DateTimeText(double time);

// Fills what an expansion left unresolved: while the text holds "%" (at
// most 50 rounds), the part from the first "%" to the next one (or a lone
// "%") is replaced everywhere by value.
std::string ReplaceAllPlaceholders(std::string text, std::string_view value);

}  // namespace kv
