// Built with -mssse3: 16 pixels a step.
#include "ColorKernels.h"
#include "SimdTraits.h"

void YuvRowsSsse3(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, uint8_t* d0, uint8_t* d1,
                  int steps, const TColorCoefs& c) {
  YuvRowsSimd<TSsse3>(y0, y1, u, v, d0, d1, steps, c);
}

void BgrRowsSsse3(const uint8_t* r0, const uint8_t* r1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v, int steps,
                  const TColorCoefs& c) {
  BgrRowsSimd<TSsse3>(r0, r1, y0, y1, u, v, steps, c);
}
