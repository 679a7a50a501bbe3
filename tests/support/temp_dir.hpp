#pragma once

#include <string>

namespace corvane::test {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Writes `text` to the named file in the directory (making the directories
  // a name like "a/b/c" passes through) and returns its path.
  std::string write(const std::string &name, const std::string &text) const;

private:
  std::string path_;
};

} // namespace corvane::test
