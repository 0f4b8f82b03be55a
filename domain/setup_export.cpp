#include "domain/setup_export.h"

#include <utility>

#include "core/stream.h"
#include "formats/cipher.h"
#include "formats/config.h"
#include "formats/varlist.h"

namespace kv {

const std::array<const char*, kSetupSectionCount> kSetupSectionNames = {
    "Settings",   "Killing Spring Data", "Event Messages", "Weapon Watch List",  "Player History",
    "Statistics", "Configlist",          "BanList",        "Server Access Data", "SkinList",
};

namespace {

// The found text of the version error; a foreign file gives bytes that are
// no text, which must not end up raw in an operator message.
std::string FoundVersion(TStream& plain) {
  if (plain.Remaining() < 4) return {};
  const int32_t len = plain.ReadInt32();
  constexpr int32_t kMaxShown = 64;
  if (len < 0 || static_cast<uint64_t>(len) > plain.Remaining()) return {};
  std::string text(static_cast<size_t>(len), '\0');
  plain.ReadBuffer(text.data(), text.size());
  if (len > kMaxShown) text.resize(kMaxShown);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  return text;
}

}  // namespace

TSetupImage ReadSetupImage(const std::vector<uint8_t>& file_bytes) {
  TMemoryStream cipher(file_bytes);
  TMemoryStream plain;
  DecipherStream(TCipherPurpose::SetupExport, cipher, plain, cipher.Size());
  plain.Seek(0);
  TSetupImage image;
  image.version = FoundVersion(plain);
  if (image.version != kSetupVersion)
    throw ESetupVersionError(std::string("Wrong File Version -  expected [") + kSetupVersion +
                             "] found: " + image.version + ")");
  // ReadLString refuses a length that is negative or exceeds what remains.
  for (auto& section : image.sections) section = plain.ReadLString();
  return image;
}

std::vector<uint8_t> BuildSetupFile(const TSetupImage& image) {
  TMemoryStream plain;
  plain.WriteLString(image.version);
  for (const auto& section : image.sections) plain.WriteLString(section);
  plain.Seek(0);
  TMemoryStream cipher;
  EncipherStream(TCipherPurpose::SetupExport, plain, cipher, plain.Size());
  return cipher.Bytes();
}

void ExportSetup(const std::string& path, TDynamicConfigData& config, const TDataFileRegistry& registry) {
  TSetupImage image;
  image.version = kSetupVersion;
  TMemoryStream settings;
  config.CacheSnapshot().SaveToStream(settings);
  image.sections[0] = settings.Str();
  for (int s = 2; s <= kSetupSectionCount; ++s) {
    TMemoryStream section;
    if (registry.ExportSection(s, section)) image.sections[static_cast<size_t>(s - 1)] = section.Str();
  }
  const std::vector<uint8_t> bytes = BuildSetupFile(image);
  // The export carries the settings and the accounts, passwords included.
  SaveFileAtomic(path, bytes.data(), bytes.size(), TFileAccess::Private);
}

namespace {

// Applies sections 2..10; on a refusal puts every touched owner back.
void ApplySections(const TSetupImage& image, const TDataFileRegistry& registry) {
  std::vector<std::pair<int, std::string>> before;  // owner contents before the import
  try {
    for (int s = 2; s <= kSetupSectionCount; ++s) {
      const std::string& bytes = image.sections[static_cast<size_t>(s - 1)];
      if (bytes.empty() || !registry.HasSectionOwner(s)) continue;
      TMemoryStream snapshot;
      registry.ExportSection(s, snapshot);
      before.emplace_back(s, snapshot.Str());
      TMemoryStream in(bytes);
      registry.ImportSection(s, in);
    }
  } catch (...) {
    for (auto it = before.rbegin(); it != before.rend(); ++it) {
      try {
        TMemoryStream in(it->second);
        registry.ImportSection(it->first, in);
      } catch (const std::exception&) {
        // Best effort: the owner keeps what it could take; the import's
        // own error is the one the operator needs to see.
      }
    }
    throw;
  }
}

}  // namespace

void ImportSetup(const std::string& path, const std::filesystem::path& home, TDynamicConfigData& config,
                 const TDataFileRegistry& registry) {
  const TSetupImage image = ReadSetupImage(LoadFileBytes(path));
  // Section 1 is parsed whole before anything changes.
  TVarList settings;
  const bool has_settings = !image.sections[0].empty();
  if (has_settings) {
    TMemoryStream in(image.sections[0]);
    settings.LoadFromStream(in);
  }
  const TVarList cache_before = config.CacheSnapshot();
  if (has_settings) config.ReplaceCache(settings);
  try {
    ApplySections(image, registry);
  } catch (...) {
    config.ReplaceCache(cache_before);
    throw;
  }
  TDataFileRegistry::EnsureDataDir(home);
  for (const TDataFileId id :
       {TDataFileId::KillingSpring, TDataFileId::EventMessages, TDataFileId::WeaponsBan})
    registry.Save(id, home);
}

}  // namespace kv
