// Two conversions of the same file run one after another (StartTask(1)) and
// at once (StartTask(2)); prints both wall times as one JSON object.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "ConvertEngine.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"

namespace {

double RunTwo(const std::string& input, int threads) {
  TConvertEngine engine;
  std::atomic<bool> done{false};
  engine.OnTerminate = [&](TCustomConvertEngine*, const TTerminateInfo& info) {
    if (info.TaskIndex < 0) done = true;
    if (info.Exception) std::fprintf(stderr, "task failed: %s\n", info.ExceptionMsg.c_str());
  };
  const std::string dir = std::filesystem::temp_directory_path().string();
  for (int i = 0; i < 2; ++i) {
    const int task = engine.AddTask(input);
    TOutputOptions o;
    o.VideoCodec = "mpeg4";
    o.VideoBitrate = 2000000;
    o.AudioCodec = "aac";
    o.AudioBitrate = 128000;
    if (task < 0 || !engine.SetOutputFile(task, dir + "/engine_parallel_" + std::to_string(i) + ".mp4", &o)) {
      std::fprintf(stderr, "%s\n", engine.LastError().c_str());
      return -1;
    }
  }
  const auto start = std::chrono::steady_clock::now();
  engine.StartTask(threads);
  while (!done) WaitAndProcessPendingMessages(std::chrono::milliseconds(50));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (int i = 0; i < 2; ++i) std::filesystem::remove(dir + "/engine_parallel_" + std::to_string(i) + ".mp4");
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: engine_parallel FILE\n");
    return 2;
  }
  FFLogger().SetLogLevel(llError);
  if (!LoadLibrarySet(EngineLibraries)) {
    std::fprintf(stderr, "%s\n", GetLastErrMsg().c_str());
    return 1;
  }
  const double sequential = RunTwo(argv[1], 1);
  const double parallel = RunTwo(argv[1], 2);
  std::printf("{\"case\":\"two_tasks\",\"one_after_another_s\":%.2f,\"two_at_once_s\":%.2f,\"ratio\":%.3f}\n",
              sequential, parallel, parallel / sequential);
  return 0;
}
