// Built with -mavx2: 32 pixels a step.
#include "ColorKernels.h"
#include "SimdTraits.h"

TOLVANE_COLOR_BODIES(Avx2, TAvx2)
