// The hook's two colour conversions of a 1280x720 picture (4:2:0 to 24-bit
// BGR and back): ours against the library scaler with the flags the hook
// used before (bicubic, which takes the scaler's unscaled special paths).
//   color_bench [benchmark flags]
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "Bitmap.h"
#include "ColorConvert.h"
#include "FFmpegLoader.h"

namespace {

constexpr int kW = 1280, kH = 720;

struct Picture {
  std::vector<uint8_t> y = std::vector<uint8_t>(kW * kH), u = std::vector<uint8_t>(kW * kH / 4),
                       v = std::vector<uint8_t>(kW * kH / 4);
  uint8_t* data[4] = {y.data(), u.data(), v.data(), nullptr};
  int linesize[4] = {kW, kW / 2, kW / 2, 0};
  Picture() {
    std::mt19937 rng(3);
    for (auto* p : {&y, &u, &v})
      for (auto& b : *p) b = static_cast<uint8_t>(rng());
  }
};

// The argument caps the instruction set: 0 scalar, 1 SSSE3, 2 AVX2, 3 AVX-512
// (a cap above what the processor has runs its widest).
void BM_OursToBgr(benchmark::State& state) {
  LimitColorConvertSimd(static_cast<TColorSimd>(state.range(0)));
  Picture p;
  TBitmap b(kW, kH);
  for (auto _ : state) Yuv420ToBgr24(p.data, p.linesize, kW, kH, b.Bits(), b.Stride(), TYuvColorimetry{});
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(static_cast<int>(ColorConvertSimd())));
}
BENCHMARK(BM_OursToBgr)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void BM_OursFromBgr(benchmark::State& state) {
  LimitColorConvertSimd(static_cast<TColorSimd>(state.range(0)));
  Picture p;
  TBitmap b(kW, kH);
  Yuv420ToBgr24(p.data, p.linesize, kW, kH, b.Bits(), b.Stride(), TYuvColorimetry{});
  for (auto _ : state) Bgr24ToYuv420(b.Bits(), b.Stride(), kW, kH, p.data, p.linesize, TYuvColorimetry{});
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(static_cast<int>(ColorConvertSimd())));
}
BENCHMARK(BM_OursFromBgr)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

void Scaler(benchmark::State& state, bool toBgr) {
  Picture p;
  TBitmap b(kW, kH);
  uint8_t* rows[4] = {b.Bits()};
  int stride[4] = {b.Stride()};
  SwsContext* s = toBgr ? sws.sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_BGR24, SWS_BICUBIC,
                                             nullptr, nullptr, nullptr)
                        : sws.sws_getContext(kW, kH, AV_PIX_FMT_BGR24, kW, kH, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                             nullptr, nullptr, nullptr);
  for (auto _ : state) {
    if (toBgr)
      sws.sws_scale(s, p.data, p.linesize, 0, kH, rows, stride);
    else
      sws.sws_scale(s, rows, stride, 0, kH, p.data, p.linesize);
  }
  sws.sws_freeContext(s);
  state.SetItemsProcessed(state.iterations());
}
void BM_ScalerToBgr(benchmark::State& state) { Scaler(state, true); }
void BM_ScalerFromBgr(benchmark::State& state) { Scaler(state, false); }
BENCHMARK(BM_ScalerToBgr)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScalerFromBgr)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (!LoadLibrarySet(EngineLibraries)) {
    std::fprintf(stderr, "%s\n", GetLastErrMsg().c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
namespace {
void BM_CopyBitmap(benchmark::State& state) {
  TBitmap a(kW, kH), b(kW, kH);
  for (auto _ : state) memcpy(b.Bits(), a.Bits(), static_cast<size_t>(a.Stride()) * kH);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyBitmap)->Unit(benchmark::kMicrosecond);
}
