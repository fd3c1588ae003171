// Built with -mavx512bw: 64 pixels a step. Shuffles work within each 128-bit
// lane, so lane k carries pixels 16k to 16k+15.
#include <immintrin.h>

#include "ColorKernels.h"

namespace {

struct TAvx512 {
  using R = __m512i;
  static constexpr int kPixels = 64;
  static R Zero() { return _mm512_setzero_si512(); }
  static R Set16(int16_t v) { return _mm512_set1_epi16(v); }
  static R Set8(int8_t v) { return _mm512_set1_epi8(v); }
  static R Mask(const uint8_t* m) {
    return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(m)));
  }
  static R Load(const uint8_t* p) { return _mm512_loadu_si512(p); }
  static void Store(uint8_t* p, R v) { _mm512_storeu_si512(p, v); }
  // 32 samples, eight to a lane.
  static R LoadChroma(const uint8_t* p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  static void StoreChroma(uint8_t* u, uint8_t* v, R cu, R cv) {
    // Lane k holds u and v of pixels 16k..16k+15; gather the u and v halves.
    const R both = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), _mm512_packus_epi16(cu, cv));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(u), _mm512_castsi512_si256(both));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(v), _mm512_extracti64x4_epi64(both, 1));
  }
  // Lane k of in[j]: block j of pixels 16k..16k+15.
  static void LoadBlocks(const uint8_t* p, R in[3]) {
    for (int j = 0; j < 3; ++j) {
      auto block = [&](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48 * k + 16 * j)); };
      in[j] = _mm512_inserti32x4(
          _mm512_inserti32x4(_mm512_inserti32x4(_mm512_castsi128_si512(block(0)), block(1), 1), block(2), 2),
          block(3), 3);
    }
  }
  static void StoreBlocks(uint8_t* p, const R o[3]) {
    // Output blocks in order: lane 0 of o0 o1 o2, lane 1 of o0 o1 o2, ...
    // (quad-word indexes; 8 and up pick the second source).
    const R t0 = _mm512_permutex2var_epi64(o[0], _mm512_setr_epi64(0, 1, 8, 9, 0, 0, 2, 3), o[1]);
    Store(p, _mm512_permutex2var_epi64(t0, _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 6, 7), o[2]));
    const R t1 = _mm512_permutex2var_epi64(o[1], _mm512_setr_epi64(2, 3, 0, 0, 12, 13, 4, 5), o[0]);
    Store(p + 64, _mm512_permutex2var_epi64(t1, _mm512_setr_epi64(0, 1, 10, 11, 4, 5, 6, 7), o[2]));
    const R t2 = _mm512_permutex2var_epi64(o[2], _mm512_setr_epi64(4, 5, 14, 15, 0, 0, 6, 7), o[0]);
    Store(p + 128, _mm512_permutex2var_epi64(t2, _mm512_setr_epi64(0, 1, 2, 3, 14, 15, 6, 7), o[1]));
  }
  static R Add16(R a, R b) { return _mm512_add_epi16(a, b); }
  static R Sub16(R a, R b) { return _mm512_sub_epi16(a, b); }
  static R Adds16(R a, R b) { return _mm512_adds_epi16(a, b); }
  static R Mulhrs(R a, R b) { return _mm512_mulhrs_epi16(a, b); }
  static R Maddubs(R a, R b) { return _mm512_maddubs_epi16(a, b); }
  template <int N> static R Slli16(R a) { return _mm512_slli_epi16(a, N); }
  template <int N> static R Srai16(R a) { return _mm512_srai_epi16(a, N); }
  static R UnpackLo8(R a, R b) { return _mm512_unpacklo_epi8(a, b); }
  static R UnpackHi8(R a, R b) { return _mm512_unpackhi_epi8(a, b); }
  static R UnpackLo16(R a, R b) { return _mm512_unpacklo_epi16(a, b); }
  static R UnpackHi16(R a, R b) { return _mm512_unpackhi_epi16(a, b); }
  static R PackUs16(R a, R b) { return _mm512_packus_epi16(a, b); }
  static R Or(R a, R b) { return _mm512_or_si512(a, b); }
  static R Shuffle8(R a, R m) { return _mm512_shuffle_epi8(a, m); }
};

}  // namespace

void YuvRowsAvx512(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                   int steps, const TColorCoefs& c) {
  YuvRowsSimd<TAvx512>(y0, y1, u, v, d0, d1, steps, c);
}

void BgrRowsAvx512(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                   const TColorCoefs& c) {
  BgrRowsSimd<TAvx512>(r0, r1, y0, y1, u, v, steps, c);
}
