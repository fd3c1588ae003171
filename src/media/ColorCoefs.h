#pragma once

#include <cstdint>

// Fixed-point coefficients of one matrix and range. To BGR: luma
// ((Y - YOff) << 7) * Cy and chroma ((C - 128) << 7) * C.. in Q14, except blue
// from U: ((U - 128) << 8) * Cbu in Q13; results carry 6 fraction bits. From
// BGR: (channel << 7) * coefficient in Q15 gives 7 fraction bits; chroma
// takes the sum of a 2x2 block << 5 instead.
struct TColorCoefs {
  int16_t YOff, Cy, Crv, Cgu, Cgv, Cbu;
  int16_t Yr, Yg, Yb, Ur, Ug, Ub, Vr, Vg, Vb;
  int16_t YAdd, CAdd;  // offsets with the rounding half, 7 fraction bits
};

// The instruction-set bodies (ColorConvertSsse3/Avx2/Avx512.cpp): `steps`
// blocks of 16, 32 or 64 pixels of a row pair; a null y1 converts one row
// (for the way back, r1 then repeats r0).
void YuvRowsSsse3(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                  int steps, const TColorCoefs& c);
void BgrRowsSsse3(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                  const TColorCoefs& c);
void YuvRowsAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                 int steps, const TColorCoefs& c);
void BgrRowsAvx2(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                 const TColorCoefs& c);
void YuvRowsAvx512(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                   int steps, const TColorCoefs& c);
void BgrRowsAvx512(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                   const TColorCoefs& c);
