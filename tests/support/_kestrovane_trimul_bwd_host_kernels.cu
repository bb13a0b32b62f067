// Test-only kernel unit (never part of a deliverable): compiles the backward launchers and
// kernels while the module's entry unit is not there to carry them.
#include "trimul/trimul_bwd_launch.cuh"
