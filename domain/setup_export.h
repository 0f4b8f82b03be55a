// The setup export: the whole setup (every cached setting and nine data
// sets) in one file enciphered with the export pass phrase, and its import.
#pragma once

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/datafiles.h"
#include "formats/config.h"

namespace kv {

inline constexpr const char* kSetupVersion = "OneFileConfig Save-Version 1.1";
inline constexpr int kSetupSectionCount = 10;
// Section 1 is the settings cache; 2..10 belong to data-file owners.
extern const std::array<const char*, kSetupSectionCount> kSetupSectionNames;

// "Wrong File Version -  expected [...] found: ...)": another version text,
// or a file that is no setup export at all.
class ESetupVersionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The plain layout of an export, split into its parts.
struct TSetupImage {
  std::string version;
  std::array<std::string, kSetupSectionCount> sections;  // sections[0] is section 1
};

// Deciphers a whole export file and splits it. Throws ESetupVersionError
// when the version text differs, EStreamError ("Stream-Lesefehler") when the
// file ends early or a section length does not fit. Pure; any thread.
TSetupImage ReadSetupImage(const std::vector<uint8_t>& file_bytes);
// The enciphered file bytes of an image.
std::vector<uint8_t> BuildSetupFile(const TSetupImage& image);

// Writes the export (created or replaced atomically): the cache of `config`
// and each registered owner's section; a section without an owner is empty.
// Main loop thread.
void ExportSetup(const std::string& path, TDynamicConfigData& config, const TDataFileRegistry& registry);

// Reads an export and applies it: section 1 replaces the settings cache (the
// INI file is not rewritten), every other non-empty section with an owner
// replaces that owner's contents; sections without an owner are ignored.
// The whole file is read and checked before anything is applied, and an
// owner that refuses its section puts back what was applied before, so a
// failed import changes nothing. Afterwards the spree definitions, event
// messages and banned weapons are written to their files. Main loop thread.
void ImportSetup(const std::string& path, const std::filesystem::path& home, TDynamicConfigData& config,
                 const TDataFileRegistry& registry);

}  // namespace kv
