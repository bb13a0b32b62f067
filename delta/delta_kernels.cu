// The delta module's device code. Both kernels are compiled in this one translation
// unit so that the module carries a single sm_90a cubin.
#include "delta/delta_kernels.cuh"
