#pragma once
// The SIMD bodies of the 4:2:0 <-> BGR conversions and the BGR plane helpers
// the effect passes share, written once over a register type; each
// instruction-set file instantiates them with its own traits and compiler
// flags. Everything here has internal linkage, so code
// built for one instruction set never stands in for another.

#include <cstdint>

#include "ColorCoefs.h"

namespace {

// Byte shuffles between 16 pixels of three planes and their 48 interleaved
// bytes: Interleave[j][ch] picks plane ch's bytes for output block j,
// Deinterleave[j][ch] picks input block j's bytes of plane ch.
struct TShuffles {
  alignas(16) uint8_t Interleave[3][3][16];
  alignas(16) uint8_t Deinterleave[3][3][16];
};

constexpr TShuffles MakeShuffles() {
  TShuffles s{};
  for (int j = 0; j < 3; ++j)
    for (int ch = 0; ch < 3; ++ch)
      for (int k = 0; k < 16; ++k) {
        const int g = 16 * j + k;
        s.Interleave[j][ch][k] = g % 3 == ch ? static_cast<uint8_t>(g / 3) : 0x80;
        const int src = 3 * k + ch;
        s.Deinterleave[j][ch][k] = src / 16 == j ? static_cast<uint8_t>(src % 16) : 0x80;
      }
  return s;
}

constexpr TShuffles kShuffles = MakeShuffles();

// The shuffles in registers, made once per call of a body.
template <class V>
struct TPlaneShuffles {
  typename V::R Interleave[3][3], Deinterleave[3][3];
  TPlaneShuffles() {
    for (int j = 0; j < 3; ++j)
      for (int ch = 0; ch < 3; ++ch) {
        Interleave[j][ch] = V::Mask(kShuffles.Interleave[j][ch]);
        Deinterleave[j][ch] = V::Mask(kShuffles.Deinterleave[j][ch]);
      }
  }
};

// V::kPixels BGR pixels to blue, green and red planes and back.
template <class V>
void LoadPlanes(const uint8_t* p, const TPlaneShuffles<V>& m, typename V::R planes[3]) {
  typename V::R in[3];
  V::LoadBlocks(p, in);
  for (int ch = 0; ch < 3; ++ch)
    planes[ch] = V::Or(V::Or(V::Shuffle8(in[0], m.Deinterleave[0][ch]), V::Shuffle8(in[1], m.Deinterleave[1][ch])),
                       V::Shuffle8(in[2], m.Deinterleave[2][ch]));
}

template <class V>
void StorePlanes(uint8_t* p, const TPlaneShuffles<V>& m, const typename V::R planes[3]) {
  typename V::R blocks[3];
  for (int j = 0; j < 3; ++j)
    blocks[j] = V::Or(V::Or(V::Shuffle8(planes[0], m.Interleave[j][0]), V::Shuffle8(planes[1], m.Interleave[j][1])),
                      V::Shuffle8(planes[2], m.Interleave[j][2]));
  V::StoreBlocks(p, blocks);
}

// V::kPixels pixels of one or two rows per step: the rounded high multiply
// and saturating adds below are exactly what the scalar reference computes.
template <class V>
void YuvRowsSimd(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                 int steps, const TColorCoefs& c) {
  using R = typename V::R;
  const R zero = V::Zero(), c128 = V::Set16(128), yoff = V::Set16(c.YOff), round = V::Set16(32);
  const R cy = V::Set16(c.Cy), crv = V::Set16(c.Crv), cgu = V::Set16(c.Cgu), cgv = V::Set16(c.Cgv),
          cbu = V::Set16(c.Cbu);
  const TPlaneShuffles<V> masks;
  constexpr int n = V::kPixels;
  for (int i = 0; i < steps; ++i) {
    const R u16 = V::Sub16(V::LoadChroma(u + n / 2 * i), c128);
    const R v16 = V::Sub16(V::LoadChroma(v + n / 2 * i), c128);
    const R ua = V::template Slli16<7>(u16), va = V::template Slli16<7>(v16);
    const R rv = V::Mulhrs(va, crv);
    const R gt = V::Adds16(V::Mulhrs(ua, cgu), V::Mulhrs(va, cgv));
    const R bu = V::Mulhrs(V::template Slli16<8>(u16), cbu);
    const R terms[3][2] = {{V::UnpackLo16(bu, bu), V::UnpackHi16(bu, bu)},
                           {V::UnpackLo16(gt, gt), V::UnpackHi16(gt, gt)},
                           {V::UnpackLo16(rv, rv), V::UnpackHi16(rv, rv)}};
    for (int row = 0; row < 2; ++row) {
      const uint8_t* ys = row ? y1 : y0;
      if (!ys) break;
      const R y = V::Load(ys + n * i);
      R halves[2];
      for (int h = 0; h < 2; ++h) {
        const R y16 = h ? V::UnpackHi8(y, zero) : V::UnpackLo8(y, zero);
        halves[h] = V::Adds16(V::Mulhrs(V::template Slli16<7>(V::Sub16(y16, yoff)), cy), round);
      }
      R planes[3];
      for (int ch = 0; ch < 3; ++ch)
        planes[ch] = V::PackUs16(V::template Srai16<6>(V::Adds16(halves[0], terms[ch][0])),
                                 V::template Srai16<6>(V::Adds16(halves[1], terms[ch][1])));
      StorePlanes<V>((row ? d1 : d0) + 3 * n * i, masks, planes);
    }
  }
}

template <class V>
typename V::R LumaSimd(typename V::R b, typename V::R g, typename V::R r, const typename V::R k[3],
                       typename V::R add) {
  const auto y = V::Adds16(V::Adds16(V::Mulhrs(V::template Slli16<7>(r), k[0]),
                                     V::Mulhrs(V::template Slli16<7>(g), k[1])),
                           V::Mulhrs(V::template Slli16<7>(b), k[2]));
  return V::template Srai16<7>(V::Adds16(y, add));
}

template <class V>
typename V::R ChromaSimd(const typename V::R s[3], const typename V::R k[3], typename V::R add) {
  const auto v = V::Adds16(V::Adds16(V::Mulhrs(s[2], k[0]), V::Mulhrs(s[1], k[1])), V::Mulhrs(s[0], k[2]));
  return V::template Srai16<7>(V::Adds16(v, add));
}

template <class V>
void BgrRowsSimd(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                 const TColorCoefs& c) {
  using R = typename V::R;
  const R zero = V::Zero(), ones = V::Set8(1);
  const R yk[3] = {V::Set16(c.Yr), V::Set16(c.Yg), V::Set16(c.Yb)};
  const R uk[3] = {V::Set16(c.Ur), V::Set16(c.Ug), V::Set16(c.Ub)};
  const R vk[3] = {V::Set16(c.Vr), V::Set16(c.Vg), V::Set16(c.Vb)};
  const R yadd = V::Set16(c.YAdd), cadd = V::Set16(c.CAdd);
  const TPlaneShuffles<V> masks;
  constexpr int n = V::kPixels;
  for (int i = 0; i < steps; ++i) {
    R planes[2][3];  // row, then blue, green, red
    for (int row = 0; row < 2; ++row) {
      LoadPlanes<V>((row ? r1 : r0) + 3 * n * i, masks, planes[row]);
      uint8_t* yd = row ? y1 : y0;
      if (!yd) continue;
      const R* p = planes[row];
      const R lo = LumaSimd<V>(V::UnpackLo8(p[0], zero), V::UnpackLo8(p[1], zero), V::UnpackLo8(p[2], zero), yk, yadd);
      const R hi = LumaSimd<V>(V::UnpackHi8(p[0], zero), V::UnpackHi8(p[1], zero), V::UnpackHi8(p[2], zero), yk, yadd);
      V::Store(yd + n * i, V::PackUs16(lo, hi));
    }
    // Sums of each 2x2 block, << 5.
    R sums[3];
    for (int ch = 0; ch < 3; ++ch)
      sums[ch] = V::template Slli16<5>(V::Add16(V::Maddubs(planes[0][ch], ones), V::Maddubs(planes[1][ch], ones)));
    V::StoreChroma(u + n / 2 * i, v + n / 2 * i, ChromaSimd<V>(sums, uk, cadd), ChromaSimd<V>(sums, vk, cadd));
  }
}

}  // namespace

// The two entry points of ColorCoefs.h for one instruction set, e.g.
// TOLVANE_COLOR_BODIES(Avx2, TAvx2) defines YuvRowsAvx2 and BgrRowsAvx2.
#define TOLVANE_COLOR_BODIES(Suffix, Traits)                                                                 \
  void YuvRows##Suffix(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, \
                       uint8_t* d1, int steps, const TColorCoefs& c) {                                       \
    YuvRowsSimd<Traits>(y0, y1, u, v, d0, d1, steps, c);                                                     \
  }                                                                                                          \
  void BgrRows##Suffix(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, \
                       int steps, const TColorCoefs& c) {                                                    \
    BgrRowsSimd<Traits>(r0, r1, y0, y1, u, v, steps, c);                                                     \
  }
