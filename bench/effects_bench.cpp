// Picture effects and watermarks.
//   effects_bench [benchmark flags]   the passes and blending per 1920x1080
//                                     picture (pictures per second)
//   effects_bench --convert FILE [RUNS [SIMD]]
//       a conversion with all four effects, one text and one image
//       watermark against the same conversion with the hook but no
//       effects (pictures left untouched, and pictures sent to the bitmap
//       and back unpainted); prints median wall times and ratios as JSON.
//       SIMD caps the instruction set: 0 scalar, 1 SSSE3, 2 AVX2, 3 AVX-512.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <QImage>

#include "Bitmap.h"
#include "ColorConvert.h"
#include "ConvertEngine.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "FrameEffects.h"
#include "MainThread.h"
#include "WatermarkRenderer.h"

namespace {

TBitmap Picture(int w, int h) {
  TBitmap b(w, h);
  std::mt19937 rng(7);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w * 3; ++x) b.ScanLine(y)[x] = static_cast<uint8_t>(rng());
  return b;
}

void BM_ColorPass(benchmark::State& state) {
  TBitmap p = Picture(1920, 1080);
  for (auto _ : state) AdjustColors(p, 300, 20, 300);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ColorPass)->Unit(benchmark::kMillisecond);

void BM_ExposurePass(benchmark::State& state) {
  TBitmap p = Picture(1920, 1080);
  for (auto _ : state) AdjustExposure(p, 60);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExposurePass)->Unit(benchmark::kMillisecond);

// The two passes one after the other, as they are specified.
void BM_ColorThenExposure(benchmark::State& state) {
  TBitmap p = Picture(1920, 1080);
  for (auto _ : state) {
    AdjustColors(p, 300, 20, 300);
    AdjustExposure(p, 60);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ColorThenExposure)->Unit(benchmark::kMillisecond);

// What the hook runs when both are on: one sweep. The argument caps the
// instruction set (0 scalar, 2 AVX2, 3 AVX-512).
void BM_ColorAndExposureFused(benchmark::State& state) {
  LimitColorConvertSimd(static_cast<TColorSimd>(state.range(0)));
  TBitmap p = Picture(1920, 1080);
  for (auto _ : state) AdjustColorsAndExposure(p, 300, 20, 300, 60);
  state.SetItemsProcessed(state.iterations());
  LimitColorConvertSimd(TColorSimd::Avx512);
}
BENCHMARK(BM_ColorAndExposureFused)->Arg(0)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);

// A whole picture blended, the worst case of an item.
void BM_BlendFullPicture(benchmark::State& state) {
  TBitmap p = Picture(1920, 1080);
  const TBitmap src = Picture(1920, 1080);
  for (auto _ : state) BlendBitmap(p, src, 0, 0, 128);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BlendFullPicture)->Unit(benchmark::kMillisecond);

// The record of the conversion benchmark: all four effects, a text and an image.
TlvFilesRecord FullRecord(const std::string& image) {
  TlvFilesRecord full;
  full.Brightness = 300, full.Contrast = 20, full.Saturation = 300, full.Exposure = 60;
  TWmRec text;
  text.Kind = 0, text.Text = "Tolvane Video Converter", text.EndSec = 1000;
  text.Font.Family = "Sans", text.Font.PointSize = 24, text.Font.Color = Qt::yellow;
  text.TextLeft = 40, text.TextTop = 40, text.TextAlpha = 200;
  const QSize extent = WatermarkTextExtent(text.Text, text.Font);
  text.TextWidth = extent.width(), text.TextHeight = extent.height();
  TWmRec mark;
  mark.Kind = 1, mark.ImageFile = QString::fromStdString(image), mark.EndSec = 1000;
  mark.ImageLeft = 1000, mark.ImageTop = 560, mark.ImageAlpha = 160;
  full.WaterMarks = {text, mark};
  return full;
}

std::string MakeImage() {
  const std::string image = (std::filesystem::temp_directory_path() / "effects_bench.bmp").string();
  QImage logo(160, 90, QImage::Format_RGB888);
  logo.fill(QColor(200, 40, 90));
  logo.save(QString::fromStdString(image), "BMP");
  return image;
}

// The handler's whole work on one 1280x720 picture (0), effects only (1),
// watermarks only (2).
void BM_Handler720p(benchmark::State& state) {
  TlvFilesRecord record = FullRecord(MakeImage());
  if (state.range(0) == 1) record.WaterMarks.clear();
  if (state.range(0) == 2) record.Brightness = 255, record.Contrast = 0, record.Saturation = 255, record.Exposure = 0;
  TWatermarkRenderer renderer([&](int) { return &record; });
  TBitmap p = Picture(1280, 720);
  for (auto _ : state) renderer.Render(nullptr, record, p, 0);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Handler720p)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

double Convert(const std::string& input, const TlvFilesRecord& record, bool roundTrip) {
  TConvertEngine engine;
  std::atomic<bool> done{false};
  engine.OnTerminate = [&](TCustomConvertEngine*, const TTerminateInfo& info) {
    if (info.TaskIndex < 0) done = true;
    if (info.Exception) std::fprintf(stderr, "failed: %s\n", info.ExceptionMsg.c_str());
  };
  TWatermarkRenderer renderer([&](int) { return &record; });
  // roundTrip: every picture goes to the bitmap and back even when nothing is
  // painted, the cost the hook path has before any effect.
  engine.OnCustomHook = [&](TCustomConvertEngine* s, PHookInfo i) {
    renderer.EngineCustomHook(s, i);
    if (roundTrip) i->Update = true;
  };
  const std::string out = (std::filesystem::temp_directory_path() / "effects_bench.mp4").string();
  const int task = engine.AddTask(input);
  TOutputOptions o;
  o.VideoCodec = "mpeg4";
  o.VideoBitrate = 2000000;
  o.DisableAudio = true;
  o.CustomHook = true;
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

double Median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

int ConvertMode(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: effects_bench --convert FILE [RUNS [SIMD]]\n");
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  if (argc > 4) LimitColorConvertSimd(static_cast<TColorSimd>(std::clamp(std::atoi(argv[4]), 0, 3)));
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QGuiApplication app(qtArgc, argv);
  FFLogger().SetLogLevel(llError);
  if (!LoadLibrarySet(EngineLibraries)) {
    std::fprintf(stderr, "%s\n", GetLastErrMsg().c_str());
    return 1;
  }
  const std::string image = MakeImage();
  const TlvFilesRecord bare;  // neutral: the handler leaves every picture alone
  const TlvFilesRecord full = FullRecord(image);

  Convert(argv[2], bare, false);  // warm-up
  // Each round starts with the next kind, so the order within a round hits
  // all alike.
  std::vector<double> times[3];
  for (int i = 0; i < runs; ++i)
    for (int k = 0; k < 3; ++k) {
      const int kind = (i + k) % 3;
      times[kind].push_back(Convert(argv[2], kind == 2 ? full : bare, kind == 1));
    }
  const std::vector<double>&bareTimes = times[0], &tripTimes = times[1], &fullTimes = times[2];
  std::filesystem::remove(image);
  const double b = Median(bareTimes), t = Median(tripTimes), f = Median(fullTimes);
  std::printf(
      "{\"runs\":%d,\"simd\":%d,\"hook_untouched_s\":%.3f,\"hook_round_trip_s\":%.3f,\"effects_s\":%.3f,"
      "\"ratio_to_round_trip\":%.3f,\"ratio_to_untouched\":%.3f}\n",
      runs, static_cast<int>(ColorConvertSimd()), b, t, f, f / t, f / b);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--convert") return ConvertMode(argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QGuiApplication app(qtArgc, argv);  // fonts for the text watermark
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
