// Built with -mavx512bw -mavx512vbmi: 64 pixels a step.
#include "ColorKernels.h"
#include "FrameEffectsSimd.h"
#include "SimdTraits.h"

namespace {

// A 256-byte table in four registers, looked up 64 indexes at a time.
struct TByteTable {
  __m512i Part[4];
  explicit TByteTable(const uint8_t* t) {
    for (int k = 0; k < 4; ++k) Part[k] = _mm512_loadu_si512(t + 64 * k);
  }
  __m512i operator()(__m512i index) const {
    const __m512i low = _mm512_permutex2var_epi8(Part[0], index, Part[1]);
    const __m512i high = _mm512_permutex2var_epi8(Part[2], index, Part[3]);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
  }
};

}  // namespace

void ColorPassAvx512(uint8_t* pixels, int steps, int saturation, const uint8_t table[256]) {
  using V = TAvx512;
  const TPlaneShuffles<V> masks;
  const TByteTable lookup(table);
  const __m512i zero = V::Zero(), one = V::Set16(1), third = V::Set16(21846);
  const __m512i sat = V::Set16(static_cast<int16_t>(saturation << 1));
  // (x + 1) * saturation >> 8, exactly: ((x + 1) << 7) * (saturation << 1) >> 16.
  auto s = [&](__m512i x) { return _mm512_mulhi_epu16(_mm512_slli_epi16(_mm512_add_epi16(x, one), 7), sat); };
  for (int i = 0; i < steps; ++i) {
    uint8_t* p = pixels + 192 * i;
    __m512i planes[3];
    LoadPlanes<V>(p, masks, planes);
    __m512i values[3][2];
    for (int h = 0; h < 2; ++h) {
      __m512i c[3];
      for (int ch = 0; ch < 3; ++ch) c[ch] = h ? V::UnpackHi8(planes[ch], zero) : V::UnpackLo8(planes[ch], zero);
      // t / 3 for t up to 765, exactly.
      const __m512i q = _mm512_mulhi_epu16(V::Add16(V::Add16(c[0], c[1]), c[2]), third);
      const __m512i base = V::Sub16(q, s(q));
      for (int ch = 0; ch < 3; ++ch) values[ch][h] = V::Add16(base, s(c[ch]));
    }
    for (int ch = 0; ch < 3; ++ch) planes[ch] = lookup(V::PackUs16(values[ch][0], values[ch][1]));
    StorePlanes<V>(p, masks, planes);
  }
}

void TablePassAvx512(uint8_t* bytes, int steps, const uint8_t table[256]) {
  const TByteTable lookup(table);
  for (int i = 0; i < steps; ++i) _mm512_storeu_si512(bytes + 64 * i, lookup(_mm512_loadu_si512(bytes + 64 * i)));
}
