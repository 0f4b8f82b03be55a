#include "core/datafiles.h"

#include <system_error>

namespace kv {
namespace fs = std::filesystem;

namespace {

// Indexed by TDataFileId. The history store has no label of its own in the
// old catalogue; it gets one so that its failure is reported like any other
// and the files after it still load.
const TDataFileInfo kDataFiles[kDataFileCount] = {
    {TDataFileId::OldMsg, "OldMsg.dat", "Old Messages: ", 0},
    {TDataFileId::KickReasons, "KickReasons.dat", "Reasons: ", 0},
    {TDataFileId::KillingSpring, "KillingSpring.dat", "Killing Spring Data: ", 2},
    {TDataFileId::ChatTrigger, "ChatTrigger.dat", "Chat Triggers: ", 0},
    {TDataFileId::History, "History", "Player History: ", 5},
    {TDataFileId::WeaponsBan, "WeaponsBan.dat", "Weapon Watch List: ", 4},
    {TDataFileId::EventMessages, "EventMessages.dat", "Event Messages: ", 3},
    {TDataFileId::StatsConfig, "StatsConfig.dat", "Statistics : ", 6},
    {TDataFileId::Configurations, "Configurations.dat", "Configlist : ", 7},
    {TDataFileId::BanList, "BanList.dat", "BanList: ", 8},
    {TDataFileId::ServerAccess, "ServerAccess.dat", "Server Access Data: ", 9},
    {TDataFileId::SkinList, "SkinList.dat", "SkinList: ", 10},
    {TDataFileId::HotKeys, "HotKeys.dat", "HotKeys: ", 0},
};

size_t Index(TDataFileId id) { return static_cast<size_t>(id); }

}  // namespace

const std::array<TDataFileId, 12> kDataFileLoadOrder = {
    TDataFileId::OldMsg,        TDataFileId::KickReasons,  TDataFileId::KillingSpring,
    TDataFileId::ChatTrigger,   TDataFileId::History,      TDataFileId::WeaponsBan,
    TDataFileId::EventMessages, TDataFileId::StatsConfig,  TDataFileId::Configurations,
    TDataFileId::BanList,       TDataFileId::ServerAccess, TDataFileId::SkinList,
};

const std::array<TDataFileId, 12> kDataFileSaveOrder = {
    TDataFileId::OldMsg,         TDataFileId::KickReasons,   TDataFileId::KillingSpring,
    TDataFileId::History,        TDataFileId::EventMessages, TDataFileId::StatsConfig,
    TDataFileId::Configurations, TDataFileId::WeaponsBan,    TDataFileId::BanList,
    TDataFileId::ServerAccess,   TDataFileId::ChatTrigger,   TDataFileId::SkinList,
};

const TDataFileInfo& DataFileInfo(TDataFileId id) { return kDataFiles[Index(id)]; }

void TDataFileRegistry::Register(TDataFileId id, TDataFileHandler handler) {
  std::lock_guard lock(mutex_);
  handlers_[Index(id)] = std::move(handler);
  registered_[Index(id)] = true;
}

void TDataFileRegistry::Unregister(TDataFileId id) {
  std::lock_guard lock(mutex_);
  handlers_[Index(id)] = {};
  registered_[Index(id)] = false;
}

bool TDataFileRegistry::IsRegistered(TDataFileId id) const {
  std::lock_guard lock(mutex_);
  return registered_[Index(id)];
}

bool TDataFileRegistry::Find(TDataFileId id, TDataFileHandler& out) const {
  std::lock_guard lock(mutex_);
  if (!registered_[Index(id)]) return false;
  out = handlers_[Index(id)];
  return true;
}

void TDataFileRegistry::EnsureDataDir(const fs::path& home) {
  std::error_code ec;
  fs::create_directories(DataDir(home), ec);
  if (ec) throw EStreamError(DataDir(home).string() + ": " + ec.message());
}

void TDataFileRegistry::Load(TDataFileId id, const fs::path& home) const {
  TDataFileHandler h;
  if (!Find(id, h)) return;
  const fs::path dir = DataDir(home);
  if (h.load_dir) {
    h.load_dir(dir);
    return;
  }
  if (!h.load) return;
  const fs::path file = dir / DataFileInfo(id).file_name;
  std::error_code ec;
  // Only "not there" counts as empty; a file that exists but cannot be
  // read (permissions, a directory in its place) is a failed load.
  if (fs::status(file, ec).type() == fs::file_type::not_found) {
    TMemoryStream empty;
    h.load(empty);
    return;
  }
  TMemoryStream stream(LoadFileBytes(file.string()));
  h.load(stream);
}

void TDataFileRegistry::Save(TDataFileId id, const fs::path& home) const {
  TDataFileHandler h;
  if (!Find(id, h)) return;
  const fs::path dir = DataDir(home);
  if (h.save_dir) {
    h.save_dir(dir);
    return;
  }
  if (!h.save) return;
  // The owner writes into memory first: an owner that fails halfway
  // leaves the old file in place.
  TMemoryStream stream;
  h.save(stream);
  SaveFileAtomic((dir / DataFileInfo(id).file_name).string(), stream, h.access);
}

const TDataFileInfo* TDataFileRegistry::InfoForSection(int section) {
  for (const auto& info : kDataFiles)
    if (info.export_section == section) return &info;
  return nullptr;
}

bool TDataFileRegistry::HasSectionOwner(int section) const {
  const TDataFileInfo* info = InfoForSection(section);
  return info && IsRegistered(info->id);
}

bool TDataFileRegistry::ExportSection(int section, TStream& out) const {
  const TDataFileInfo* info = InfoForSection(section);
  TDataFileHandler h;
  if (!info || !Find(info->id, h)) return false;
  const auto& fn = h.export_save ? h.export_save : h.save;
  if (!fn) return false;
  fn(out);
  return true;
}

bool TDataFileRegistry::ImportSection(int section, TStream& in) const {
  const TDataFileInfo* info = InfoForSection(section);
  TDataFileHandler h;
  if (!info || !Find(info->id, h)) return false;
  const auto& fn = h.import_load ? h.import_load : h.load;
  if (!fn) return false;
  fn(in);
  return true;
}

std::vector<std::string> ReadTextLines(TStream& stream) {
  std::string text(stream.Remaining(), '\0');
  stream.ReadBuffer(text.data(), text.size());
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(std::move(cur));
      cur.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) lines.push_back(std::move(cur));
  return lines;
}

void WriteTextLines(TStream& stream, const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    stream.Write(line.data(), line.size());
    stream.Write("\r\n", 2);
  }
}

}  // namespace kv
