#include "FrameEffects.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "Bitmap.h"
#include "ColorConvert.h"
#include "FrameEffectsSimd.h"

namespace {

int Clamp255(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 0, 255)); }

// The colour pass as lookups: out = X[Gx[B + G + R] + S[channel]], where X
// already holds the tone curve behind the clamp, so no pixel needs a branch.
struct ColorTables {
  bool valid = false;
  int32_t b = 0, c = 0, s = 0;
  uint16_t S[256]{};
  uint8_t L[256]{};  // brightness, then contrast
  int32_t Gx[766]{};  // grey table shifted so that every index into X is >= 0
  std::vector<uint8_t> X;

  void Build(int32_t brightness, int32_t contrast, int32_t saturation) {
    b = brightness, c = contrast, s = saturation, valid = true;
    // 100 would make the factor infinite.
    const int32_t cc = contrast == 100 ? 99 : contrast;
    // Each side keeps its own constant: at -100 the factor comes out as a
    // tiny negative number and every level becomes 170.
    const long double k = cc > 0 ? 1.0L / std::cos(cc * 0.015707963267948967L) : std::cos(cc * 0.015708L);
    uint8_t C[256];
    for (int i = 0; i < 256; ++i) C[i] = static_cast<uint8_t>(Clamp255(std::llrint((i - 170) * k + 170)));
    // Brightness acts before contrast; the 64-bit product keeps odd values
    // from overflowing and div truncates toward zero as the tables expect.
    for (int j = 0; j < 256; ++j) L[j] = C[Clamp255((int64_t{brightness} * j - brightness + 256) / 256)];
    for (int x = 0; x < 256; ++x)
      S[x] = static_cast<uint16_t>((static_cast<uint32_t>(saturation) * static_cast<uint32_t>(x + 1)) >> 8);
    int32_t G[766];
    for (int t = 0; t < 766; ++t) G[t] = t / 3 - S[t / 3];
    const int32_t minV = *std::min_element(G, G + 766) + *std::min_element(S, S + 256);
    const int32_t maxV = *std::max_element(G, G + 766) + *std::max_element(S, S + 256);
    X.resize(static_cast<size_t>(maxV - minV + 1));
    for (int32_t v = minV; v <= maxV; ++v) X[static_cast<size_t>(v - minV)] = L[Clamp255(v)];
    for (int t = 0; t < 766; ++t) Gx[t] = G[t] - minV;
  }
  bool Matches(int32_t brightness, int32_t contrast, int32_t saturation) const {
    return valid && b == brightness && c == contrast && s == saturation;
  }
};

struct ExposureTable {
  bool valid = false;
  float e = 0;
  uint8_t T[256]{};

  void Build(float exposure) {
    e = exposure, valid = true;
    for (int i = 0; i < 256; ++i) {
      const int64_t r =
          std::llrint((1.0L - std::exp((i / -128.0L) * (static_cast<long double>(exposure) / 128.0L))) * 256.0L);
      // Both products are non-negative, so the shift divides.
      const int64_t t = exposure >= 0 ? i + ((r * (255 - i)) >> 8) : i - (((-r) * (255 - i)) >> 8);
      T[i] = static_cast<uint8_t>(Clamp255(t));
    }
  }
  bool Matches(float exposure) const { return valid && e == exposure; }
};

// The tables of the last values, per thread: a conversion repeats the same
// values for every picture, and hooks of parallel tasks run on their own threads.
const ColorTables& ColorsFor(int32_t b, int32_t c, int32_t s) {
  thread_local ColorTables cache;
  if (!cache.Matches(b, c, s)) cache.Build(b, c, s);
  return cache;
}

const ExposureTable& ExposureFor(float e) {
  thread_local ExposureTable cache;
  if (!cache.Matches(e)) cache.Build(e);
  return cache;
}

// Pixels per step of the widest SIMD body the processor has, 0 for the
// scalar code only. The AVX-512 body needs byte permutes too; the switch that
// caps the colour conversions caps this for tests.
int SimdPixels() {
#ifdef TOLVANE_EFFECTS_SIMD
  static const bool vbmi = __builtin_cpu_supports("avx512vbmi");
  const TColorSimd simd = ColorConvertSimd();
  return simd == TColorSimd::Avx512 && vbmi ? 64 : simd >= TColorSimd::Avx2 ? 32 : 0;
#else
  return 0;
#endif
}

// X is the whole lookup indexed from the lowest value, F the same for values
// clamped to 0..255 (the SIMD bodies index that one).
void ColorPass(TBitmap& picture, const ColorTables& t, const uint8_t* X, const uint8_t* F) {
  const int32_t* Gx = t.Gx;
  const uint16_t* S = t.S;
  const int w = picture.Width();
  const int unit = t.s >= 0 && t.s <= 512 ? SimdPixels() : 0;
  const int steps = unit ? w / unit : 0;
  for (int row = 0; row < picture.Height(); ++row) {
    uint8_t* p = picture.ScanLine(row);
#ifdef TOLVANE_EFFECTS_SIMD
    if (steps) (unit == 64 ? ColorPassAvx512 : ColorPassAvx2)(p, steps, t.s, F);
#else
    (void)F;
#endif
    p += steps * unit * 3;
    for (int col = steps * unit; col < w; ++col, p += 3) {
      const int32_t base = Gx[p[0] + p[1] + p[2]];
      const uint8_t b = X[base + S[p[0]]], g = X[base + S[p[1]]], r = X[base + S[p[2]]];
      p[0] = b, p[1] = g, p[2] = r;
    }
  }
}

}  // namespace

void AdjustColors(TBitmap& picture, int32_t brightness, int32_t contrast, int32_t saturation) {
  const ColorTables& t = ColorsFor(brightness, contrast, saturation);
  ColorPass(picture, t, t.X.data(), t.L);
}

void AdjustExposure(TBitmap& picture, float exposure) {
  const uint8_t* T = ExposureFor(exposure).T;
  const int bytes = picture.Width() * 3;
  const int steps = SimdPixels() == 64 ? bytes / 64 : 0;
  for (int row = 0; row < picture.Height(); ++row) {
    uint8_t* p = picture.ScanLine(row);
#ifdef TOLVANE_EFFECTS_SIMD
    if (steps) TablePassAvx512(p, steps, T);
#endif
    for (int i = steps * 64; i < bytes; ++i) p[i] = T[p[i]];
  }
}

void AdjustColorsAndExposure(TBitmap& picture, int32_t brightness, int32_t contrast, int32_t saturation,
                             float exposure) {
  const ColorTables& t = ColorsFor(brightness, contrast, saturation);
  const uint8_t* T = ExposureFor(exposure).T;
  // The exposure table folded into the colour pass's last lookup.
  thread_local std::vector<uint8_t> XT;
  thread_local uint8_t LT[256];
  thread_local int32_t kb, kc, ks;
  thread_local float ke;
  thread_local bool built = false;
  if (!built || kb != brightness || kc != contrast || ks != saturation || ke != exposure) {
    XT.resize(t.X.size());
    for (size_t i = 0; i < XT.size(); ++i) XT[i] = T[t.X[i]];
    for (int i = 0; i < 256; ++i) LT[i] = T[t.L[i]];
    kb = brightness, kc = contrast, ks = saturation, ke = exposure, built = true;
  }
  ColorPass(picture, t, XT.data(), LT);
}

void BlendBitmap(TBitmap& dst, const TBitmap& src, int x, int y, int weight) {
  // Only the overlap of the two pictures is touched.
  const int srcRow0 = y < 0 ? -y : 0, dstRow0 = y < 0 ? 0 : y;
  const int srcCol0 = x < 0 ? -x : 0, dstCol0 = x < 0 ? 0 : x;
  const int n = std::min(src.Height() - srcRow0, dst.Height() - dstRow0);
  const int m = std::min(src.Width() - srcCol0, dst.Width() - dstCol0);
  if (n <= 0 || m <= 0) return;
  // Outside 0..256 the formula would leave the byte range.
  const int w = std::clamp(weight, 0, 256);
  for (int r = 0; r < n; ++r) {
    const uint8_t* s = src.ScanLine(srcRow0 + r) + srcCol0 * 3;
    uint8_t* d = dst.ScanLine(dstRow0 + r) + dstCol0 * 3;
    for (int k = 0; k < m * 3; ++k) d[k] = static_cast<uint8_t>(((256 - w) * d[k] + w * s[k]) >> 8);
  }
}
