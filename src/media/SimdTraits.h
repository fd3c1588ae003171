#pragma once
// Register traits for the SIMD bodies: one struct per instruction set, each
// defined only where the file is built for that set (-mssse3, -mavx2,
// -mavx512bw). Shuffles work within 128-bit lanes, so lane k of a register
// carries pixels 16k to 16k+15 in every set.

#include <immintrin.h>

#include <cstdint>

namespace {

#ifdef __SSSE3__
// 16 pixels a step.
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
  static R MulhiU16(R a, R b) { return _mm_mulhi_epu16(a, b); }
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
#endif

#ifdef __AVX2__
// 32 pixels a step.
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
  static R MulhiU16(R a, R b) { return _mm256_mulhi_epu16(a, b); }
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
#endif

#ifdef __AVX512BW__
// 64 pixels a step.
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
  static R MulhiU16(R a, R b) { return _mm512_mulhi_epu16(a, b); }
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
#endif

}  // namespace
