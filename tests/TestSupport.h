// Helpers shared by the tests.
#pragma once

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;
  std::string out, err;
};

// Runs a program (no shell) and collects its output and exit code; extraEnv
// entries ("NAME=value") are added to this process's environment.
// With interruptAfterMs > 0 the program gets SIGINT after that long.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv = {}, int interruptAfterMs = 0);

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

// What an independent reader (ffprobe) sees in a media file: one map of
// fields per stream (codec_type, codec_name, width, height, avg_frame_rate,
// nb_read_frames, sample_rate, channels, duration) and one for the format
// (format_name, duration). Empty when the file cannot be read.
struct ProbedFile {
  std::vector<std::map<std::string, std::string>> streams;
  std::map<std::string, std::string> format;
  // Points into this object: keep the ProbedFile alive while using it.
  const std::map<std::string, std::string>* Stream(const std::string& type) const&;
  const std::map<std::string, std::string>* Stream(const std::string& type) const&& = delete;
};
ProbedFile ProbeWithReference(const std::string& file);

class TBitmap;
// Decodes up to maxFrames pictures of a file's first video stream into
// 24-bit bitmaps with the project's own libraries (loaded by the caller).
std::vector<TBitmap> DecodeVideoFrames(const std::string& file, int maxFrames);
