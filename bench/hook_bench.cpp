// The custom-hook path (picture -> 24-bit bitmap -> empty handler -> back)
// and the preview path against the same conversion without them. Prints the
// median wall time of each over RUNS runs and the ratios as one JSON object.
//   hook_bench FILE [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ConvertEngine.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"

namespace {

enum class Mode { Plain, Hook, Preview };

double Convert(const std::string& input, Mode mode) {
  TConvertEngine engine;
  std::atomic<bool> done{false};
  engine.OnTerminate = [&](TCustomConvertEngine*, const TTerminateInfo& info) {
    if (info.TaskIndex < 0) done = true;
    if (info.Exception) std::fprintf(stderr, "failed: %s\n", info.ExceptionMsg.c_str());
  };
  if (mode == Mode::Hook) engine.OnCustomHook = [](TCustomConvertEngine*, PHookInfo) {};
  if (mode == Mode::Preview) {
    engine.SetPreviewBitmap(true);
    engine.OnPreviewBitmap = [](TCustomConvertEngine*, const TPreviewInfo&) {};
  }
  const std::string out = (std::filesystem::temp_directory_path() / "hook_bench.mp4").string();
  const int task = engine.AddTask(input);
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.VideoBitrate = 2000000;
  o.DisableAudio = true;
  o.CustomHook = mode == Mode::Hook;
  if (task < 0 || !engine.SetOutputFile(task, out, &o)) {
    std::fprintf(stderr, "%s\n", engine.LastError().c_str());
    std::exit(1);
  }
  const auto start = std::chrono::steady_clock::now();
  engine.StartTask(1);
  while (!done) WaitAndProcessPendingMessages(std::chrono::milliseconds(20));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::filesystem::remove(out);
  return seconds;
}

double Median(const std::string& input, Mode mode, int runs) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) t.push_back(Convert(input, mode));
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: hook_bench FILE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  FFLogger().SetLogLevel(llError);
  if (!LoadLibrarySet(EngineLibraries)) {
    std::fprintf(stderr, "%s\n", GetLastErrMsg().c_str());
    return 1;
  }
  const double plain = Median(argv[1], Mode::Plain, runs);
  const double hook = Median(argv[1], Mode::Hook, runs);
  const double preview = Median(argv[1], Mode::Preview, runs);
  std::printf("{\"runs\":%d,\"plain_s\":%.3f,\"hook_s\":%.3f,\"preview_s\":%.3f,\"hook_ratio\":%.3f,"
              "\"preview_ratio\":%.3f}\n",
              runs, plain, hook, preview, hook / plain, preview / plain);
  return 0;
}
