// Built with -mavx2: 32 pixels a step. Shuffles work within each 128-bit
// lane, so the low lane carries pixels 0-15 and the high lane 16-31.
#include <immintrin.h>

#include "ColorKernels.h"

namespace {

struct TAvx2 {
  using R = __m256i;
  static constexpr int kPixels = 32;
  static R Zero() { return _mm256_setzero_si256(); }
  static R Set16(int16_t v) { return _mm256_set1_epi16(v); }
  static R Set8(int8_t v) { return _mm256_set1_epi8(v); }
  static R Mask(const uint8_t* m) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(m)));
  }
  static R Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static void Store(uint8_t* p, R v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
  // Sixteen samples: 0-7 in the low lane, 8-15 in the high one, as the
  // in-lane unpacking of 32 luma bytes expects.
  static R LoadChroma(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static void StoreChroma(uint8_t* u, uint8_t* v, R cu, R cv) {
    // Lanes hold u0-7 v0-7 | u8-15 v8-15; gather the u and v halves.
    const R both = _mm256_permute4x64_epi64(_mm256_packus_epi16(cu, cv), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u), _mm256_castsi256_si128(both));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v), _mm256_extracti128_si256(both, 1));
  }
  // Block j of pixels 0-15 in the low lane, block j of pixels 16-31 high.
  static void LoadBlocks(const uint8_t* p, R in[3]) {
    for (int j = 0; j < 3; ++j)
      in[j] = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48 + 16 * j)), 1);
  }
  static void StoreBlocks(uint8_t* p, const R out[3]) {
    Store(p, _mm256_permute2x128_si256(out[0], out[1], 0x20));
    Store(p + 32, _mm256_permute2x128_si256(out[2], out[0], 0x30));
    Store(p + 64, _mm256_permute2x128_si256(out[1], out[2], 0x31));
  }
  static R Add16(R a, R b) { return _mm256_add_epi16(a, b); }
  static R Sub16(R a, R b) { return _mm256_sub_epi16(a, b); }
  static R Adds16(R a, R b) { return _mm256_adds_epi16(a, b); }
  static R Mulhrs(R a, R b) { return _mm256_mulhrs_epi16(a, b); }
  static R Maddubs(R a, R b) { return _mm256_maddubs_epi16(a, b); }
  template <int N> static R Slli16(R a) { return _mm256_slli_epi16(a, N); }
  template <int N> static R Srai16(R a) { return _mm256_srai_epi16(a, N); }
  static R UnpackLo8(R a, R b) { return _mm256_unpacklo_epi8(a, b); }
  static R UnpackHi8(R a, R b) { return _mm256_unpackhi_epi8(a, b); }
  static R UnpackLo16(R a, R b) { return _mm256_unpacklo_epi16(a, b); }
  static R UnpackHi16(R a, R b) { return _mm256_unpackhi_epi16(a, b); }
  static R PackUs16(R a, R b) { return _mm256_packus_epi16(a, b); }
  static R Or(R a, R b) { return _mm256_or_si256(a, b); }
  static R Shuffle8(R a, R m) { return _mm256_shuffle_epi8(a, m); }
};

}  // namespace

void YuvRowsAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                 int steps, const TColorCoefs& c) {
  YuvRowsSimd<TAvx2>(y0, y1, u, v, d0, d1, steps, c);
}

void BgrRowsAvx2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                 const TColorCoefs& c) {
  BgrRowsSimd<TAvx2>(r0, r1, y0, y1, u, v, steps, c);
}
