// Built with -mssse3: 16 pixels a step.
#include "ColorKernels.h"
#include "SimdTraits.h"

TOLVANE_COLOR_BODIES(Ssse3, TSsse3)
