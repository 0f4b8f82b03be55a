// A directory of its own under the temporary directory for one test, removed
// with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace kv::testing {

class TTempHome {
 public:
  // kMissing: the path is unique but not created yet (for code that must
  // create its home itself); its parent exists and goes with the object.
  enum TState { kCreated, kMissing };

  explicit TTempHome(const std::string& tag = "home", TState state = kCreated);
  ~TTempHome();
  TTempHome(const TTempHome&) = delete;
  TTempHome& operator=(const TTempHome&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string string() const { return path_.string(); }
  operator const std::filesystem::path&() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& rel) const { return path_ / rel; }

 private:
  std::filesystem::path root_;  // what the destructor removes
  std::filesystem::path path_;
};

// A file's whole content; empty when it cannot be read.
std::string ReadFileText(const std::filesystem::path& path);

}  // namespace kv::testing
