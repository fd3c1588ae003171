#include "ColorConvert.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <utility>

#include "ColorCoefs.h"

namespace {

int16_t Q(double v, int bits) { return static_cast<int16_t>(std::lrint(v * (1 << bits))); }

TColorCoefs MakeCoefs(const TYuvColorimetry& s) {
  const double kr = s.Bt709 ? 0.2126 : 0.299, kb = s.Bt709 ? 0.0722 : 0.114, kg = 1 - kr - kb;
  const double ys = s.FullRange ? 1.0 : 255.0 / 219.0, cs = s.FullRange ? 1.0 : 255.0 / 224.0;
  TColorCoefs c{};
  c.YOff = s.FullRange ? 0 : 16;
  c.Cy = Q(ys, 14);
  c.Crv = Q(2 * (1 - kr) * cs, 14);
  c.Cgu = Q(-2 * (1 - kb) * kb / kg * cs, 14);
  c.Cgv = Q(-2 * (1 - kr) * kr / kg * cs, 14);
  c.Cbu = Q(2 * (1 - kb) * cs, 13);
  c.Yr = Q(kr / ys, 15);
  c.Yg = Q(kg / ys, 15);
  c.Yb = Q(kb / ys, 15);
  c.Ur = Q(-kr / (2 * (1 - kb)) / cs, 15);
  c.Ug = Q(-kg / (2 * (1 - kb)) / cs, 15);
  c.Ub = Q(0.5 / cs, 15);
  c.Vr = Q(0.5 / cs, 15);
  c.Vg = Q(-kg / (2 * (1 - kr)) / cs, 15);
  c.Vb = Q(-kb / (2 * (1 - kr)) / cs, 15);
  c.YAdd = static_cast<int16_t>((c.YOff << 7) + 64);
  c.CAdd = static_cast<int16_t>((128 << 7) + 64);
  return c;
}

const TColorCoefs& CoefsFor(const TYuvColorimetry& s) {
  static const std::array<TColorCoefs, 4> table = {MakeCoefs({false, false}), MakeCoefs({false, true}),
                                                   MakeCoefs({true, false}), MakeCoefs({true, true})};
  return table[(s.Bt709 ? 2 : 0) + (s.FullRange ? 1 : 0)];
}

// The scalar reference: each step as the 16-bit SIMD instructions compute it
// (rounded high multiply, saturating add), so every path gives the same bytes.
inline int Mulhrs(int a, int b) { return (a * b + 16384) >> 15; }
inline int Adds(int a, int b) { return std::clamp(a + b, -32768, 32767); }
inline uint8_t Pack(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

struct TChromaTerms {
  int B, G, R;
};

inline TChromaTerms ChromaTerms(int u, int v, const TColorCoefs& c) {
  const int ua = (u - 128) << 7, va = (v - 128) << 7;
  return {Mulhrs((u - 128) << 8, c.Cbu), Adds(Mulhrs(ua, c.Cgu), Mulhrs(va, c.Cgv)), Mulhrs(va, c.Crv)};
}

inline void PixelToBgr(int y, const TChromaTerms& t, const TColorCoefs& c, uint8_t* out) {
  const int yl = Adds(Mulhrs((y - c.YOff) << 7, c.Cy), 32);
  out[0] = Pack(Adds(yl, t.B) >> 6);
  out[1] = Pack(Adds(yl, t.G) >> 6);
  out[2] = Pack(Adds(yl, t.R) >> 6);
}

// Pixels [from, width) of one or two rows that share a chroma row.
void YuvRowsScalar(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0,
                   uint8_t* d1, int from, int width, const TColorCoefs& c) {
  for (int x = from; x < width; ++x) {
    const TChromaTerms t = ChromaTerms(u[x >> 1], v[x >> 1], c);
    PixelToBgr(y0[x], t, c, d0 + 3 * x);
    if (y1) PixelToBgr(y1[x], t, c, d1 + 3 * x);
  }
}

inline uint8_t LumaOf(const uint8_t* p, const TColorCoefs& c) {
  const int y = Adds(Adds(Mulhrs(p[2] << 7, c.Yr), Mulhrs(p[1] << 7, c.Yg)), Mulhrs(p[0] << 7, c.Yb));
  return Pack(Adds(y, c.YAdd) >> 7);
}

inline uint8_t ChromaOf(const int s[3], int16_t cr, int16_t cg, int16_t cb, const TColorCoefs& c) {
  const int v = Adds(Adds(Mulhrs(s[2] << 5, cr), Mulhrs(s[1] << 5, cg)), Mulhrs(s[0] << 5, cb));
  return Pack(Adds(v, c.CAdd) >> 7);
}

// Pixels [from, width) of a row pair; r1 repeats r0 for the last row of an
// odd height (y1 is then null), and the last column of an odd width repeats.
void BgrRowsScalar(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int from,
                   int width, const TColorCoefs& c) {
  for (int x = from; x < width; x += 2) {
    const int x1 = std::min(x + 1, width - 1);
    const uint8_t* p[4] = {r0 + 3 * x, r0 + 3 * x1, r1 + 3 * x, r1 + 3 * x1};
    y0[x] = LumaOf(p[0], c);
    if (x + 1 < width) y0[x + 1] = LumaOf(p[1], c);
    if (y1) {
      y1[x] = LumaOf(p[2], c);
      if (x + 1 < width) y1[x + 1] = LumaOf(p[3], c);
    }
    int s[3] = {};  // blue, green, red sums of the block
    for (const uint8_t* q : p)
      for (int k = 0; k < 3; ++k) s[k] += q[k];
    u[x >> 1] = ChromaOf(s, c.Ur, c.Ug, c.Ub, c);
    v[x >> 1] = ChromaOf(s, c.Vr, c.Vg, c.Vb, c);
  }
}

using TSimd = TColorSimd;

std::atomic<TSimd> gSimdLimit{TSimd::Avx512};

TSimd BestSimd() {
#ifdef TOLVANE_COLOR_SIMD
  static const TSimd best = __builtin_cpu_supports("avx512bw") ? TSimd::Avx512
                            : __builtin_cpu_supports("avx2")   ? TSimd::Avx2
                            : __builtin_cpu_supports("ssse3")  ? TSimd::Ssse3
                                                               : TSimd::None;
  return best;
#else
  return TSimd::None;
#endif
}

// Runs the widest bodies the processor has from the left of a row, each over
// as many whole steps as fit; returns the pixels done (the scalar code takes
// the rest).
template <class Body>
int SimdPixels([[maybe_unused]] TSimd simd, [[maybe_unused]] int width, [[maybe_unused]] Body&& body) {
  int done = 0;
#ifdef TOLVANE_COLOR_SIMD
  for (const auto& [level, pixels] : {std::pair{TSimd::Avx512, 64}, {TSimd::Avx2, 32}, {TSimd::Ssse3, 16}}) {
    const int steps = (width - done) / pixels;
    if (simd < level || steps == 0) continue;
    body(level, done, steps);
    done += steps * pixels;
  }
#endif
  return done;
}

}  // namespace

TColorSimd ColorConvertSimd() { return std::min(BestSimd(), gSimdLimit.load(std::memory_order_relaxed)); }

void LimitColorConvertSimd(TColorSimd most) { gSimdLimit = most; }

bool YuvColorimetryOf(AVPixelFormat format, AVColorSpace space, AVColorRange range, TYuvColorimetry* colorimetry) {
  if (format != AV_PIX_FMT_YUV420P && format != AV_PIX_FMT_YUVJ420P) return false;
  colorimetry->Bt709 = space == AVCOL_SPC_BT709;
  colorimetry->FullRange = format == AV_PIX_FMT_YUVJ420P || range == AVCOL_RANGE_JPEG;
  return true;
}

bool YuvColorimetryOf(const AVFrame* frame, TYuvColorimetry* colorimetry) {
  return YuvColorimetryOf(static_cast<AVPixelFormat>(frame->format), frame->colorspace, frame->color_range,
                          colorimetry);
}

void Yuv420ToBgr24(const uint8_t* const data[4], const int linesize[4], int width, int height, uint8_t* bgr,
                   int stride, const TYuvColorimetry& colorimetry) {
  const TColorCoefs& c = CoefsFor(colorimetry);
  const TSimd simd = ColorConvertSimd();
  for (int y = 0; y < height; y += 2) {
    const uint8_t* y0 = data[0] + static_cast<ptrdiff_t>(y) * linesize[0];
    const uint8_t* y1 = y + 1 < height ? y0 + linesize[0] : nullptr;
    const uint8_t* u = data[1] + static_cast<ptrdiff_t>(y >> 1) * linesize[1];
    const uint8_t* v = data[2] + static_cast<ptrdiff_t>(y >> 1) * linesize[2];
    uint8_t* d0 = bgr + static_cast<ptrdiff_t>(y) * stride;
    uint8_t* d1 = y1 ? d0 + stride : nullptr;
    const int done = SimdPixels(simd, width, [&](TSimd level, int x, int steps) {
      const auto body = level == TSimd::Avx512 ? YuvRowsAvx512 : level == TSimd::Avx2 ? YuvRowsAvx2 : YuvRowsSsse3;
      body(y0 + x, y1 ? y1 + x : nullptr, u + x / 2, v + x / 2, d0 + 3 * x, d1 ? d1 + 3 * x : nullptr, steps, c);
    });
    YuvRowsScalar(y0, y1, u, v, d0, d1, done, width, c);
  }
}

void Bgr24ToYuv420(const uint8_t* bgr, int stride, int width, int height, uint8_t* const data[4],
                   const int linesize[4], const TYuvColorimetry& colorimetry) {
  const TColorCoefs& c = CoefsFor(colorimetry);
  const TSimd simd = ColorConvertSimd();
  for (int y = 0; y < height; y += 2) {
    const uint8_t* r0 = bgr + static_cast<ptrdiff_t>(y) * stride;
    const bool pair = y + 1 < height;
    const uint8_t* r1 = pair ? r0 + stride : r0;
    uint8_t* y0 = data[0] + static_cast<ptrdiff_t>(y) * linesize[0];
    uint8_t* y1 = pair ? y0 + linesize[0] : nullptr;
    uint8_t* u = data[1] + static_cast<ptrdiff_t>(y >> 1) * linesize[1];
    uint8_t* v = data[2] + static_cast<ptrdiff_t>(y >> 1) * linesize[2];
    const int done = SimdPixels(simd, width, [&](TSimd level, int x, int steps) {
      const auto body = level == TSimd::Avx512 ? BgrRowsAvx512 : level == TSimd::Avx2 ? BgrRowsAvx2 : BgrRowsSsse3;
      body(r0 + 3 * x, r1 + 3 * x, y0 + x, y1 ? y1 + x : nullptr, u + x / 2, v + x / 2, steps, c);
    });
    BgrRowsScalar(r0, r1, y0, y1, u, v, done, width, c);
  }
}
