// The atomic save's file modes: private files (passwords) are never left
// readable by others, and a mode the operator chose survives a save. Saves
// of several files together: each file's outcome on its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "core/stream.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

mode_t ModeOf(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST(AtomicSave, FileModes) {
  const testing::TTempHome home;
  const mode_t old_mask = ::umask(022);
  struct TCase {
    const char* name;
    int existing;  // mode of the file before the save; -1: no file
    TFileAccess access;
    mode_t expected;
  };
  const TCase cases[] = {
      {"new shared file", -1, TFileAccess::Shared, 0644},
      {"new private file", -1, TFileAccess::Private, 0600},
      {"shared file keeps the operator's mode", 0640, TFileAccess::Shared, 0640},
      {"private file loses group and other bits", 0644, TFileAccess::Private, 0600},
      {"private file keeps a stricter mode", 0400, TFileAccess::Private, 0400},
  };
  for (const TCase& c : cases) {
    const std::filesystem::path path = home.Path() / (std::string(c.name) + ".dat");
    if (c.existing >= 0) {
      std::ofstream(path) << "old";
      ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(c.existing)), 0);
    }
    SaveFileAtomic(path.string(), "new", 3, c.access);
    EXPECT_EQ(ModeOf(path), c.expected) << c.name;
    EXPECT_EQ(LoadFileBytes(path.string()).size(), 3u) << c.name;
  }
  // A temporary file a crash left behind with a wide mode does not lend
  // it to the new file.
  const std::filesystem::path secret = home.Path() / "secret.dat";
  std::ofstream(secret.string() + ".tmp~") << "stale";
  ASSERT_EQ(::chmod((secret.string() + ".tmp~").c_str(), 0666), 0);
  SaveFileAtomic(secret.string(), "pw", 2, TFileAccess::Private);
  EXPECT_EQ(ModeOf(secret), 0600u);
  EXPECT_FALSE(std::filesystem::exists(secret.string() + ".tmp~"));
  ::umask(old_mask);
}

std::string Text(const std::filesystem::path& p) {
  const std::vector<uint8_t> bytes = LoadFileBytes(p.string());
  return std::string(bytes.begin(), bytes.end());
}

// Several files in one save: one that cannot be written fails alone, a
// path named twice ends with the later text, more files than one round
// takes are all written, and no temporary file is left behind.
TEST(AtomicSave, SeveralFilesTogether) {
  const testing::TTempHome home;
  const std::filesystem::path missing_dir = home.Path() / "no such dir" / "x.dat";
  std::vector<std::string> paths;
  for (int i = 0; i < 150; ++i) paths.push_back((home.Path() / ("p" + std::to_string(i) + ".dat")).string());
  std::ofstream(paths[0]) << "old";
  std::vector<TFileToSave> files;
  files.push_back({paths[0], "first", 5});
  files.push_back({missing_dir.string(), "lost", 4});
  files.push_back({paths[0], "second", 6});
  for (size_t i = 1; i < paths.size(); ++i) files.push_back({paths[i], paths[i].data(), paths[i].size()});
  const std::vector<std::string> errors = SaveFilesAtomic(files);
  ASSERT_EQ(errors.size(), files.size());
  EXPECT_TRUE(errors[0].empty()) << errors[0];
  EXPECT_NE(errors[1].find("Cannot create file"), std::string::npos) << errors[1];
  EXPECT_TRUE(errors[2].empty()) << errors[2];
  EXPECT_EQ(Text(paths[0]), "second");
  for (size_t i = 1; i < paths.size(); ++i) {
    EXPECT_TRUE(errors[i + 2].empty()) << errors[i + 2];
    EXPECT_EQ(Text(paths[i]), paths[i]);
  }
  EXPECT_FALSE(std::filesystem::exists(missing_dir));
  for (const auto& entry : std::filesystem::directory_iterator(home.Path()))
    EXPECT_EQ(entry.path().string().find(".tmp~"), std::string::npos) << entry.path();
  // The single save reports the same failure as an exception.
  EXPECT_THROW(SaveFileAtomic(missing_dir.string(), "x", 1), EStreamError);
}

}  // namespace
}  // namespace kv
