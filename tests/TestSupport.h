// Helpers shared by the tests.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;
  std::string out, err;
};

// Runs a program (no shell) and collects its output and exit code; extraEnv
// entries ("NAME=value") are added to this process's environment.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv = {});

// Loads the engine's (or player's) libraries by the system's search; fails the
// calling test when that is impossible.
void LoadSystemLibraries(bool player = false);

// A fresh empty folder, removed when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string FixturePath(const std::string& name);
void WriteTextFile(const std::string& path, const std::string& text);
