#include "domain/setup_export.h"

#include <gtest/gtest.h>

#include <map>

#include "domain/settings.h"
#include "formats/cipher.h"
#include "tests/support/home_fixture.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::TLinesOwner;

const std::string kExpectedPrefix = "Wrong File Version -  expected [OneFileConfig Save-Version 1.1] found: ";

// Owners for the spree definitions, the ban list, the accounts and the
// skin list, and a history store whose export form differs from its files;
// the other sections have no owner yet.
class SetupExportTest : public testing::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    for (const TDataFileId id :
         {TDataFileId::KillingSpring, TDataFileId::BanList, TDataFileId::ServerAccess, TDataFileId::SkinList})
      owners_[id] = TLinesOwner{DataFileInfo(id).file_name, &log_, {}};
    for (auto& [id, owner] : owners_) registry_.Register(id, owner.Handler());
    TDataFileHandler history;
    history.load_dir = [](const fs::path&) {};
    history.save_dir = [](const fs::path&) {};
    history.export_save = [this](TStream& s) { s.WriteLString(history_); };
    history.import_load = [this](TStream& s) { history_ = s.ReadLString(); };
    registry_.Register(TDataFileId::History, history);

    config_->SetString("Servername", "Z.A.Q. Public");
    config_->SetInteger("SaveTimer", 7);
    owners_[TDataFileId::KillingSpring].lines = {"5;%playernick% is on a killing spree"};
    owners_[TDataFileId::BanList].lines = {"cheater", "spammer"};
    owners_[TDataFileId::SkinList].lines = {"allied_sas"};
    owners_[TDataFileId::ServerAccess].lines = {"enciphered accounts"};
    history_ = "history of 42 players";
    path_ = (home_ / "backup.KVSetup").string();
  }

  struct TState {
    std::string cache;
    std::map<TDataFileId, std::vector<std::string>> lists;
    std::string history;
    bool operator==(const TState&) const = default;
    friend void PrintTo(const TState& st, std::ostream* os) {
      *os << "cache " << st.cache.size() << " bytes, history '" << st.history << "', lists:";
      for (const auto& [id, lines] : st.lists)
        for (const auto& l : lines) *os << " " << static_cast<int>(id) << ":" << l;
    }
  };
  TState State() {
    TMemoryStream cache;
    config_->CacheSnapshot().SaveToStream(cache);
    TState st{cache.Str(), {}, history_};
    for (auto& [id, owner] : owners_) st.lists[id] = owner.lines;
    return st;
  }
  void Change() {
    config_->SetString("Servername", "changed");
    config_->SetInteger("SaveTimer", 1);
    config_->SetInteger("ChatMAXLINES", 9);
    for (auto& [id, owner] : owners_) owner.lines = {"changed"};
    history_ = "changed";
  }
  void WriteFileBytes(const std::vector<uint8_t>& bytes) {
    SaveFileAtomic(path_, bytes.data(), bytes.size());
  }
  TSetupImage Image() { return ReadSetupImage(LoadFileBytes(path_)); }

  std::vector<std::string> log_;
  std::map<TDataFileId, TLinesOwner> owners_;
  std::string history_;
  TDataFileRegistry registry_;
  std::string path_;
};

TEST_F(SetupExportTest, ExportThenImportRestoresSettingsAndSections) {
  ExportSetup(path_, *config_, registry_);
  const TState exported = State();
  const TSetupImage image = Image();
  EXPECT_EQ(image.version, kSetupVersion);
  EXPECT_EQ(image.sections[1], "5;%playernick% is on a killing spree\r\n");
  EXPECT_EQ(image.sections[7], "cheater\r\nspammer\r\n");
  EXPECT_EQ(image.sections[2], "");  // event messages: no owner yet
  EXPECT_EQ(image.sections[4].size(), 4 + history_.size());
  // The file is enciphered as a whole: no section is readable in it.
  const auto raw = LoadFileBytes(path_);
  EXPECT_EQ(std::string(raw.begin(), raw.end()).find("spammer"), std::string::npos);

  Change();
  ImportSetup(path_, home_, *config_, registry_);
  EXPECT_EQ(State(), exported);
  EXPECT_EQ(config_->GetStringDef("Servername", "x"), "Z.A.Q. Public");
  // A key first set after the export is not in the replaced cache: it is
  // read again from the INI, which the import leaves alone.
  EXPECT_EQ(config_->GetIntegerDef("ChatMAXLINES", 5), 9);
  // The INI itself is not rewritten by the import.
  EXPECT_EQ(Ini("Servername"), "changed");
  // The spree definitions are written to their file afterwards.
  EXPECT_EQ(ReadData("KillingSpring.dat"), "5;%playernick% is on a killing spree\r\n");
}

TEST_F(SetupExportTest, ForeignOrDamagedFilesAreRefusedAndChangeNothing) {
  ExportSetup(path_, *config_, registry_);
  const std::vector<uint8_t> good = LoadFileBytes(path_);
  Change();
  const TState before = State();

  TSetupImage other = Image();
  other.version = "OneFileConfig Save-Version 1.0";
  const std::vector<uint8_t> older = BuildSetupFile(other);
  std::vector<uint8_t> flipped = good;
  flipped[10] ^= 0x40;  // inside the version text
  TMemoryStream plain_stream;
  plain_stream.WriteLString(kSetupVersion);  // a plain, not enciphered, layout
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    std::string error;  // empty: any error
  };
  const std::vector<Case> cases = {
      {"older version", older, kExpectedPrefix + "OneFileConfig Save-Version 1.0)"},
      {"not enciphered", plain_stream.Bytes(), ""},
      {"damaged version", flipped, ""},
      {"empty file", {}, kExpectedPrefix + ")"},
      {"cut short", std::vector<uint8_t>(good.begin(), good.end() - 3), "Stream-Lesefehler"},
      {"version only", std::vector<uint8_t>(good.begin(), good.begin() + 36), "Stream-Lesefehler"},
  };
  for (const Case& c : cases) {
    WriteFileBytes(c.bytes);
    try {
      ImportSetup(path_, home_, *config_, registry_);
      ADD_FAILURE() << c.what << ": imported";
    } catch (const std::exception& e) {
      if (!c.error.empty()) {
        EXPECT_EQ(e.what(), c.error) << c.what;
      } else {
        EXPECT_EQ(std::string(e.what()).rfind(kExpectedPrefix, 0), 0u) << c.what << ": " << e.what();
      }
    }
    EXPECT_EQ(State(), before) << c.what;
  }
  EXPECT_FALSE(fs::exists(DataFile("KillingSpring.dat")));
}

TEST_F(SetupExportTest, AnOwnerThatRefusesItsSectionPutsBackEverythingApplied) {
  owners_[TDataFileId::SkinList].lines = {"BROKEN"};
  ExportSetup(path_, *config_, registry_);
  Change();
  const TState before = State();
  EXPECT_THROW(ImportSetup(path_, home_, *config_, registry_), EStreamError);
  EXPECT_EQ(State(), before);
}

TEST_F(SetupExportTest, ASectionLengthBeyondTheEndIsRefused) {
  ExportSetup(path_, *config_, registry_);
  TSetupImage image = Image();
  // Rebuild the plain layout by hand with the last length too large.
  TMemoryStream plain;
  plain.WriteLString(image.version);
  for (int i = 0; i < 9; ++i) plain.WriteLString(image.sections[static_cast<size_t>(i)]);
  plain.WriteInt32(1000);
  plain.Write("abc", 3);
  plain.Seek(0);
  TMemoryStream cipher;
  EncipherStream(TCipherPurpose::SetupExport, plain, cipher, plain.Size());
  WriteFileBytes(cipher.Bytes());
  Change();
  const TState before = State();
  EXPECT_THROW(ImportSetup(path_, home_, *config_, registry_), EStreamError);
  EXPECT_EQ(State(), before);
}

}  // namespace
}  // namespace kv
