// Built with -mssse3: 16 pixels a step.
#include <immintrin.h>

#include "ColorKernels.h"

namespace {

struct TSsse3 {
  using R = __m128i;
  static constexpr int kPixels = 16;
  static R Zero() { return _mm_setzero_si128(); }
  static R Set16(int16_t v) { return _mm_set1_epi16(v); }
  static R Set8(int8_t v) { return _mm_set1_epi8(v); }
  static R Mask(const uint8_t* m) { return _mm_load_si128(reinterpret_cast<const __m128i*>(m)); }
  static R Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static void Store(uint8_t* p, R v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
  static R LoadChroma(const uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
  }
  static void StoreChroma(uint8_t* u, uint8_t* v, R cu, R cv) {
    const R both = _mm_packus_epi16(cu, cv);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(u), both);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(v), _mm_unpackhi_epi64(both, both));
  }
  static void LoadBlocks(const uint8_t* p, R in[3]) {
    for (int j = 0; j < 3; ++j) in[j] = Load(p + 16 * j);
  }
  static void StoreBlocks(uint8_t* p, const R out[3]) {
    for (int j = 0; j < 3; ++j) Store(p + 16 * j, out[j]);
  }
  static R Add16(R a, R b) { return _mm_add_epi16(a, b); }
  static R Sub16(R a, R b) { return _mm_sub_epi16(a, b); }
  static R Adds16(R a, R b) { return _mm_adds_epi16(a, b); }
  static R Mulhrs(R a, R b) { return _mm_mulhrs_epi16(a, b); }
  static R Maddubs(R a, R b) { return _mm_maddubs_epi16(a, b); }
  template <int N> static R Slli16(R a) { return _mm_slli_epi16(a, N); }
  template <int N> static R Srai16(R a) { return _mm_srai_epi16(a, N); }
  static R UnpackLo8(R a, R b) { return _mm_unpacklo_epi8(a, b); }
  static R UnpackHi8(R a, R b) { return _mm_unpackhi_epi8(a, b); }
  static R UnpackLo16(R a, R b) { return _mm_unpacklo_epi16(a, b); }
  static R UnpackHi16(R a, R b) { return _mm_unpackhi_epi16(a, b); }
  static R PackUs16(R a, R b) { return _mm_packus_epi16(a, b); }
  static R Or(R a, R b) { return _mm_or_si128(a, b); }
  static R Shuffle8(R a, R m) { return _mm_shuffle_epi8(a, m); }
};

}  // namespace

void YuvRowsSsse3(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                  int steps, const TColorCoefs& c) {
  YuvRowsSimd<TSsse3>(y0, y1, u, v, d0, d1, steps, c);
}

void BgrRowsSsse3(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                  const TColorCoefs& c) {
  BgrRowsSimd<TSsse3>(r0, r1, y0, y1, u, v, steps, c);
}
