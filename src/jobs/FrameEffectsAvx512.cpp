// Built with -mavx512bw -mavx512vbmi: 64 pixels a step, the table looked up
// in registers with byte permutes.
#include "FrameEffectsKernels.h"
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
  ColorPassSimd<TAvx512>(pixels, steps, saturation, TByteTable(table));
}

void TablePassAvx512(uint8_t* bytes, int steps, const uint8_t table[256]) {
  const TByteTable lookup(table);
  for (int i = 0; i < steps; ++i) _mm512_storeu_si512(bytes + 64 * i, lookup(_mm512_loadu_si512(bytes + 64 * i)));
}
