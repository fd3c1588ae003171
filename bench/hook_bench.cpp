// The custom-hook path (picture -> 24-bit bitmap -> empty handler -> back)
// and the preview path against the same conversion without them. Prints the
// median wall time of each over RUNS runs and the ratios as one JSON object.
//   hook_bench FILE [RUNS [SIMD]]   SIMD caps the colour conversions'
//                                   instruction set: 0 scalar, 1 SSSE3,
//                                   2 AVX2, 3 AVX-512 (the default: widest)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ColorConvert.h"
#include "ConvertEngine.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"

namespace {

enum class Mode { Plain, Hook, Preview };

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double wall, cpu;
};

Timing Convert(const std::string& input, Mode mode) {
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
  const double cpuStart = CpuSeconds();
  engine.StartTask(1);
  while (!done) WaitAndProcessPendingMessages(std::chrono::milliseconds(20));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = CpuSeconds() - cpuStart;
  std::filesystem::remove(out);
  return {seconds, cpu};
}

double Median(std::vector<double> t) {
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
  if (argc > 3) LimitColorConvertSimd(static_cast<TColorSimd>(std::clamp(std::atoi(argv[3]), 0, 3)));
  FFLogger().SetLogLevel(llError);
  if (!LoadLibrarySet(EngineLibraries)) {
    std::fprintf(stderr, "%s\n", GetLastErrMsg().c_str());
    return 1;
  }
  // One warm-up, then the three kinds in turn, each round starting with the
  // next kind, so that drift and the order within a round hit all alike.
  Convert(argv[1], Mode::Plain);
  std::vector<double> wall[3], cpu[3];
  const Mode order[3] = {Mode::Plain, Mode::Hook, Mode::Preview};
  for (int i = 0; i < runs; ++i)
    for (int k = 0; k < 3; ++k) {
      const Mode m = order[(i + k) % 3];
      const Timing t = Convert(argv[1], m);
      wall[static_cast<int>(m)].push_back(t.wall);
      cpu[static_cast<int>(m)].push_back(t.cpu);
    }
  const double plain = Median(wall[0]), hook = Median(wall[1]), preview = Median(wall[2]);
  const double plainCpu = Median(cpu[0]), hookCpu = Median(cpu[1]), previewCpu = Median(cpu[2]);
  std::printf("{\"runs\":%d,\"simd\":%d,\"plain_s\":%.3f,\"hook_s\":%.3f,\"preview_s\":%.3f,\"hook_ratio\":%.3f,"
              "\"preview_ratio\":%.3f,\"plain_cpu_s\":%.3f,\"hook_cpu_s\":%.3f,\"preview_cpu_s\":%.3f,"
              "\"hook_cpu_ratio\":%.3f,\"preview_cpu_ratio\":%.3f}\n",
              runs, static_cast<int>(ColorConvertSimd()), plain, hook, preview, hook / plain, preview / plain, plainCpu, hookCpu, previewCpu,
              hookCpu / plainCpu, previewCpu / plainCpu);
  return 0;
}
