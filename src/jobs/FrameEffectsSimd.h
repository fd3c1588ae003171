#pragma once
// The effect passes' SIMD bodies (FrameEffectsAvx512.cpp for AVX-512 with
// byte permutes, FrameEffectsAvx2.cpp for AVX2). They end in a 256-entry
// table lookup; the scalar code in FrameEffects.cpp is the reference.

#include <cstdint>

// `steps` blocks of 64 BGR pixels: v = t/3 - S(t/3) + S(channel) with
// t = B + G + R and S(x) = (x + 1) * saturation >> 8 (saturation 0..512),
// then table[clamp(v, 0, 255)].
void ColorPassAvx512(uint8_t* pixels, int steps, int saturation, const uint8_t table[256]);
// The same in blocks of 32 pixels.
void ColorPassAvx2(uint8_t* pixels, int steps, int saturation, const uint8_t table[256]);
// `steps` blocks of 64 bytes through the table.
void TablePassAvx512(uint8_t* bytes, int steps, const uint8_t table[256]);
