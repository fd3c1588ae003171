// Built with -mavx512bw: 64 pixels a step.
#include "ColorKernels.h"
#include "SimdTraits.h"

TOLVANE_COLOR_BODIES(Avx512, TAvx512)
