#pragma once
// The colour pass's SIMD body, written once over a register type (see
// SimdTraits.h); each instruction-set file instantiates it with its own
// compiler flags. Internal linkage throughout, as in ColorKernels.h.

#include <cstdint>

#include "ColorKernels.h"

namespace {

// `steps` blocks of V::kPixels BGR pixels: v = t/3 - S(t/3) + S(channel) with
// t = B + G + R and S(x) = (x + 1) * saturation >> 8, clamped to 0..255 and
// handed to lookup (a register of indexes in, a register of bytes out).
template <class V, class Lookup>
void ColorPassSimd(uint8_t* pixels, int steps, int saturation, const Lookup& lookup) {
  using R = typename V::R;
  const TPlaneShuffles<V> masks;
  const R zero = V::Zero(), one = V::Set16(1), third = V::Set16(21846);
  const R sat = V::Set16(static_cast<int16_t>(saturation << 1));
  // (x + 1) * saturation >> 8, exactly: ((x + 1) << 7) * (saturation << 1) >> 16.
  auto s = [&](R x) { return V::MulhiU16(V::template Slli16<7>(V::Add16(x, one)), sat); };
  for (int i = 0; i < steps; ++i) {
    uint8_t* p = pixels + 3 * V::kPixels * i;
    R planes[3];
    LoadPlanes<V>(p, masks, planes);
    R values[3][2];
    for (int h = 0; h < 2; ++h) {
      R c[3];
      for (int ch = 0; ch < 3; ++ch) c[ch] = h ? V::UnpackHi8(planes[ch], zero) : V::UnpackLo8(planes[ch], zero);
      // t / 3 for t up to 765, exactly.
      const R q = V::MulhiU16(V::Add16(V::Add16(c[0], c[1]), c[2]), third);
      const R base = V::Sub16(q, s(q));
      for (int ch = 0; ch < 3; ++ch) values[ch][h] = V::Add16(base, s(c[ch]));
    }
    for (int ch = 0; ch < 3; ++ch) planes[ch] = lookup(V::PackUs16(values[ch][0], values[ch][1]));
    StorePlanes<V>(p, masks, planes);
  }
}

}  // namespace
