// Marks a function of a plain C++ header as callable from host and device code, so that
// a kernel and the host tests share one definition of a pure computation.
#pragma once

#if defined(__CUDACC__)
#define KESTROVANE_HOST_DEVICE __host__ __device__
#else
#define KESTROVANE_HOST_DEVICE
#endif
