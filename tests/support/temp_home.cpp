#include "tests/support/temp_home.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace kv::testing {

namespace fs = std::filesystem;

TTempHome::TTempHome(const std::string& tag, TState state) {
  // mkdtemp makes the name unique across the test processes ctest runs side
  // by side, and across the homes of one test.
  std::string pattern = (fs::temp_directory_path() / ("kv-" + tag + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data()))
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
  root_ = pattern;
  // As an ordinary new directory: a service started as another user must
  // reach into it.
  fs::permissions(root_, fs::perms(0755));
  path_ = state == kCreated ? root_ : root_ / "home";
}

TTempHome::~TTempHome() {
  std::error_code ec;
  // A test may have taken the write right away to show a read-only home.
  for (auto it = fs::recursive_directory_iterator(root_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(root_, ec);
}

std::string ReadFileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace kv::testing
