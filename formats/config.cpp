#include "formats/config.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "core/bus.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "core/stream.h"

namespace kv {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool QuotedPair(std::string_view s) {
  return s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.front() == s.back();
}

// "[name]" -> name, or false when the line is no section header.
bool SectionName(std::string_view line, std::string_view& name) {
  line = TrimBlanks(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return false;
  name = TrimBlanks(line.substr(1, line.size() - 2));
  return true;
}

bool IsComment(std::string_view trimmed) {
  return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

bool KeyOf(std::string_view line, std::string_view& key) {
  const std::string_view t = TrimBlanks(line);
  if (t.empty() || IsComment(t)) return false;
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = TrimBlanks(line.substr(0, eq));
  return !key.empty();
}

// Blank lines, comments, section headers and key lines; anything else is
// ignored by every reader and worth telling the operator about.
bool IsIniSyntax(std::string_view line) {
  const std::string_view t = TrimBlanks(line);
  std::string_view name;
  return t.empty() || IsComment(t) || SectionName(t, name) || KeyOf(t, name);
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// A line as it can be shown in a message: control bytes blanked, cut short.
std::string Printable(std::string_view line) {
  std::string out(line.substr(0, 80));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  if (line.size() > 80) out += "...";
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// TConfigFile

TConfigFile::TConfigFile(std::string path) : path_(std::move(path)) {}

template <class F>
auto TConfigFile::Locked(F&& fn) {
  std::vector<std::string> bad;
  auto result = [&] {
    TLockGuard lock(mutex_);
    Refresh(bad);
    return fn();
  }();
  for (const std::string& text : bad) PostGlobal(text, mlError);
  return result;
}

void TConfigFile::Load() {
  Locked([] { return 0; });
}

void TConfigFile::Refresh(std::vector<std::string>& bad_lines) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) {
    if (loaded_size_ != -1) lines_.clear();
    loaded_size_ = -1;
    loaded_mtime_ns_ = -1;
    return;
  }
  const int64_t mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  if (mtime == loaded_mtime_ns_ && st.st_size == loaded_size_) return;
  const std::vector<uint8_t> bytes = LoadFileBytes(path_);
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // Editors that save "UTF-8 with signature" put a byte order mark first; it
  // is no part of the first section header.
  bom_ = text.substr(0, kUtf8Bom.size()) == kUtf8Bom;
  if (bom_) text.remove_prefix(kUtf8Bom.size());
  lines_.clear();
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines_.push_back({cur});
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines_.push_back({cur});
  loaded_mtime_ns_ = mtime;
  loaded_size_ = st.st_size;
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (IsIniSyntax(lines_[i].text)) continue;
    const std::string shown = Printable(lines_[i].text);
    if (std::find(reported_lines_.begin(), reported_lines_.end(), shown) != reported_lines_.end()) continue;
    reported_lines_.push_back(shown);
    bad_lines.push_back("Zeile " + std::to_string(i + 1) + " in \"" + path_ +
                        "\" ist keine INI-Zeile und wird \xFC"
                        "bergangen: \"" +
                        shown + "\"");
  }
}

void TConfigFile::Save() {
  std::string text = bom_ ? std::string(kUtf8Bom) : std::string();
  for (const auto& l : lines_) {
    text += l.text;
    text += "\r\n";
  }
  // The settings hold the rcon, FTP, SSH and mail passwords.
  SaveFileAtomic(path_, text.data(), text.size(), TFileAccess::Private);
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {
    loaded_mtime_ns_ = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
    loaded_size_ = st.st_size;
  }
}

int TConfigFile::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view name;
    if (SectionName(lines_[i].text, name) && SameText(name, section)) return static_cast<int>(i);
  }
  return -1;
}

int TConfigFile::FindKey(int header, std::string_view key) const {
  for (size_t i = static_cast<size_t>(header) + 1; i < lines_.size(); ++i) {
    std::string_view name;
    if (SectionName(lines_[i].text, name)) break;
    std::string_view k;
    if (KeyOf(lines_[i].text, k) && SameText(k, key)) return static_cast<int>(i);
  }
  return -1;
}

bool TConfigFile::ValueExists(std::string_view section, std::string_view key) {
  return Locked([&]() REQUIRES(mutex_) {
    const int h = FindSection(section);
    return h >= 0 && FindKey(h, key) >= 0;
  });
}

std::string TConfigFile::ReadString(std::string_view section, std::string_view key, std::string_view def) {
  return Locked([&]() REQUIRES(mutex_) {
    const int h = FindSection(section);
    const int k = h < 0 ? -1 : FindKey(h, key);
    if (k < 0) return std::string(def);
    const std::string& line = lines_[static_cast<size_t>(k)].text;
    std::string_view value = TrimBlanks(std::string_view(line).substr(line.find('=') + 1));
    if (QuotedPair(value)) value = value.substr(1, value.size() - 2);
    return std::string(value);
  });
}

namespace {

void CheckWritable(std::string_view key, std::string_view value) {
  if (value.find_first_of("\r\n") != std::string_view::npos ||
      key.find_first_of("\r\n=[") != std::string_view::npos)
    throw ECfgError("Der Wert f\xFCr \"" + std::string(key) + "\" enth\xE4lt einen Zeilenumbruch");
}

}  // namespace

bool TConfigFile::Put(std::string_view section, std::string_view key, std::string_view value,
                      bool only_missing) {
  std::string stored(value);
  if (QuotedPair(value)) stored = value.front() + stored + value.front();
  const std::string line = std::string(key) + "=" + stored;
  int h = FindSection(section);
  if (h < 0) {
    if (!lines_.empty() && !TrimBlanks(lines_.back().text).empty()) lines_.push_back({""});
    lines_.push_back({"[" + std::string(section) + "]"});
    lines_.push_back({line});
  } else if (const int k = FindKey(h, key); k >= 0) {
    if (only_missing || lines_[static_cast<size_t>(k)].text == line) return false;
    lines_[static_cast<size_t>(k)].text = line;
  } else {
    // Append after the section's last key, before any blank lines that
    // separate it from the next section.
    size_t end = static_cast<size_t>(h) + 1;
    size_t insert = end;
    for (; end < lines_.size(); ++end) {
      std::string_view name;
      if (SectionName(lines_[end].text, name)) break;
      if (!TrimBlanks(lines_[end].text).empty()) insert = end + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert), {line});
  }
  return true;
}

void TConfigFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  CheckWritable(key, value);
  Locked([&]() REQUIRES(mutex_) {
    Put(section, key, value, false);
    Save();
    return 0;
  });
}

size_t TConfigFile::WriteMissing(std::string_view section,
                                 const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& kv : values) CheckWritable(kv.first, kv.second);
  return Locked([&]() REQUIRES(mutex_) {
    const std::vector<Line> before = lines_;
    size_t added = 0;
    for (const auto& kv : values)
      if (Put(section, kv.first, kv.second, true)) ++added;
    if (added == 0) return added;
    try {
      Save();
    } catch (...) {
      lines_ = before;  // the lines stay what the file holds
      throw;
    }
    return added;
  });
}

void TConfigFile::WriteAll(std::string_view section,
                           const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& kv : values) CheckWritable(kv.first, kv.second);
  Locked([&]() REQUIRES(mutex_) {
    const std::vector<Line> before = lines_;
    for (const auto& kv : values) Put(section, kv.first, kv.second, false);
    try {
      Save();
    } catch (...) {
      lines_ = before;
      throw;
    }
    return 0;
  });
}

void TConfigFile::DeleteKey(std::string_view section, std::string_view key) {
  Locked([&]() REQUIRES(mutex_) {
    const int h = FindSection(section);
    const int k = h < 0 ? -1 : FindKey(h, key);
    if (k < 0) return 0;
    lines_.erase(lines_.begin() + k);
    Save();
    return 0;
  });
}

std::vector<std::string> TConfigFile::ReadSectionKeys(std::string_view section) {
  return Locked([&]() REQUIRES(mutex_) {
    std::vector<std::string> keys;
    const int h = FindSection(section);
    if (h < 0) return keys;
    for (size_t i = static_cast<size_t>(h) + 1; i < lines_.size(); ++i) {
      std::string_view name;
      if (SectionName(lines_[i].text, name)) break;
      std::string_view k;
      if (KeyOf(lines_[i].text, k)) keys.emplace_back(k);
    }
    return keys;
  });
}

// ---------------------------------------------------------------------------
// TDynamicConfigData

namespace {

bool IsKnownType(int type) {
  switch (type) {
    case vtSmallint:
    case vtInteger:
    case vtByte:
    case vtSingle:
    case vtDouble:
    case vtCurrency:
    case vtDate:
    case vtBoolean:
    case vtString:
    case kCfgDateTime:
    case kCfgPath: return true;
    default: return false;
  }
}

// The value a text reads as under a type code.
TVariant FromText(const std::string& text, int type) {
  switch (type) {
    case vtSmallint:
    case vtInteger:
    case vtByte: {
      int64_t i;
      if (!regional::TryStrToInt(text, i) || i < INT32_MIN || i > UINT32_MAX) return TVariant(0);
      return TVariant(static_cast<int32_t>(static_cast<uint32_t>(i)));
    }
    case vtSingle:
    case vtDouble:
    case vtCurrency: {
      double d;
      if (!regional::TryStrToFloat(text, d)) d = 0;
      if (type == vtCurrency) return TVariant::CurrencyFromDouble(d);
      if (type == vtSingle) return TVariant::Single(static_cast<float>(d));
      return TVariant(d);
    }
    case vtDate: {
      double d;
      return TVariant::Date(regional::TryStrToDate(text, d) ? d : 0);
    }
    case kCfgDateTime: {
      double d;
      return TVariant::Date(regional::TryStrToDateTime(text, d) ? d : 0);
    }
    case vtBoolean: {
      int64_t i;
      return TVariant(!regional::TryStrToInt(text, i) || i != 0);
    }
    case kCfgPath: {
      std::string_view t = TrimBlanks(text);
      std::string path(t);
      // An empty path stays empty: with a separator it would name the root.
      if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
      return TVariant(path);
    }
    default: return TVariant(text);
  }
}

int OwnType(const TVariant& v) {
  switch (v.Type()) {
    case vtBoolean: return vtBoolean;
    case vtSingle:
    case vtDouble:
    case vtCurrency: return vtDouble;
    case vtDate: return kCfgDateTime;
    default: return v.IsInteger() ? vtInteger : vtString;
  }
}

}  // namespace

TDynamicConfigData::TDynamicConfigData(TConfigFile* file, std::string section)
    : file_(file), section_(std::move(section)) {
  cache_.SetRaiseWhenMissing(false);
}

std::string TDynamicConfigData::ToText(int type, const TVariant& value) {
  if (type == kCfgUseValueType) type = OwnType(value);
  switch (type) {
    case vtSmallint:
    case vtInteger:
    case vtByte: return regional::IntToStr(value.AsInt64());
    case vtSingle:
    case vtDouble:
    case vtCurrency: return regional::FloatToStr(value.AsDouble());
    case vtDate: return regional::DateToStr(value.AsDouble());
    case kCfgDateTime: return regional::DateTimeToStr(value.AsDouble());
    case vtBoolean: return value.AsBool() ? "1" : "0";
    case vtString:
    case kCfgPath: return value.AsString();
    default: throw ECfgError(kErrUnknownCfgType);
  }
}

void TDynamicConfigData::SetValue(std::string_view name, int type, const TVariant& value) {
  const int effective = type == kCfgUseValueType ? OwnType(value) : type;
  const std::string text = ToText(effective, value);
  if (file_) file_->WriteString(section_, name, text);
  // Cache what a fresh read of the file would give, so that a value set
  // here and one read later look the same to every reader.
  cache_.SetValue(name, FromText(text, effective));
}

TVariant TDynamicConfigData::ReadFromFile(std::string_view name, int type) {
  const TVariant v = FromText(file_->ReadString(section_, name, ""), type);
  cache_.SetValue(name, v);
  return v;
}

TVariant TDynamicConfigData::GetValue(std::string_view name, int type) {
  if (!IsKnownType(type)) throw ECfgError(kErrUnknownCfgType);
  TVariant cached;
  if (cache_.TryGetValue(name, cached) && !cached.IsNull()) return cached;
  if (!file_ || !file_->ValueExists(section_, name))
    throw ECfgError("Wert f\xFCr \"" + std::string(name) + "\" in Sektion \"" + section_ +
                    "\" existiert nicht in Datei \"" + (file_ ? file_->FileName() : std::string()) + "\" ");
  return ReadFromFile(name, type);
}

TVariant TDynamicConfigData::GetValueDef(std::string_view name, int type, const TVariant& def) {
  if (!IsKnownType(type)) throw ECfgError(kErrUnknownCfgType);
  TVariant cached;
  if (cache_.TryGetValue(name, cached) && !cached.IsNull()) return cached;
  const TVariant fallback = FromText(ToText(type, def), type);
  if (file_) {
    try {
      if (file_->ValueExists(section_, name)) return ReadFromFile(name, type);
    } catch (const EStreamError&) {
      return fallback;  // an unreadable file: asked again at the next read
    }
  }
  // The file lacks the key: the first reader's default holds for this run.
  // Writing it is the loader's business (StoreMissing), never a reader's.
  cache_.SetValue(name, fallback);
  return fallback;
}

size_t TDynamicConfigData::StoreMissing(const std::vector<TConfigDefault>& defaults) {
  if (!file_) return 0;
  std::vector<std::pair<std::string, std::string>> values;
  values.reserve(defaults.size());
  for (const TConfigDefault& d : defaults) {
    if (!IsKnownType(d.type)) throw ECfgError(kErrUnknownCfgType);
    TVariant cached;
    const bool have = cache_.TryGetValue(d.name, cached) && !cached.IsNull();
    const std::string text = ToText(d.type, have ? cached : d.value);
    values.emplace_back(d.name, text);
  }
  // Only keys the file lacks are cached here: a key the file holds is read
  // from it as ever.
  const std::vector<std::string> present = file_->ReadSectionKeys(section_);
  for (size_t i = 0; i < defaults.size(); ++i) {
    const bool in_file = std::any_of(present.begin(), present.end(),
                                     [&](const std::string& k) { return SameText(k, defaults[i].name); });
    if (!in_file) cache_.SetValue(defaults[i].name, FromText(values[i].second, defaults[i].type));
  }
  return file_->WriteMissing(section_, values);
}

void TDynamicConfigData::StoreCache() {
  if (!file_) return;
  std::vector<std::pair<std::string, std::string>> values;
  cache_.ForEach([&](std::string_view name, const TVariant& v) {
    if (!v.IsNull()) values.emplace_back(name, ToText(kCfgUseValueType, v));
  });
  file_->WriteAll(section_, values);
}

std::string DateTimeText(double time) { return time == 0 ? std::string() : regional::DateTimeToStr(time); }

std::string ReplaceAllPlaceholders(std::string text, std::string_view value) {
  for (int round = 0; round < 50; ++round) {
    const size_t first = text.find('%');
    if (first == std::string::npos) break;
    const size_t second = text.find('%', first + 1);
    const std::string part =
        second == std::string::npos ? std::string("%") : text.substr(first, second - first + 1);
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(part, pos)) != std::string::npos; pos = hit + part.size()) {
      out.append(text, pos, hit - pos);
      out += value;
    }
    out.append(text, pos);
    text = std::move(out);
  }
  return text;
}

}  // namespace kv
