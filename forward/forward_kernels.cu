// The forward module's device code. Every kernel of the module is compiled in
// this one translation unit so that the module carries a single sm_90a cubin.
#include "forward/pack_qkv.cuh"
