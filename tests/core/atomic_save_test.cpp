// The atomic save's file modes: private files (passwords) are never left
// readable by others, and a mode the operator chose survives a save.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

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

}  // namespace
}  // namespace kv
