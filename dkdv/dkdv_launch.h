// Launchers of the dK/dV kernels and of the delta_true fold. Plain types only: the
// entry unit passes data pointers and sizes, the kernel unit never sees PyTorch.
#pragma once

#include <cuda.h>
#include <cuda_runtime_api.h>

#include <cstdint>

#include "common/backward_inputs.h"
#include "common/launch.h"

namespace kestrovane {
namespace dkdv {

struct DkdvLaunch {
  BackwardInputs in;       // q and d_output 16-byte aligned
  void* out_dk;            // BF16 [B,O,H,N,D]
  void* out_dv;            // BF16 [B,O,H,N,D]
  float* delta_true_partials;  // FP32 [B*O*H][key_blocks][N]; read only by the delta_true family
  int N;
  int O;
  int H;
  int B;
  int D;  // runtime head dimension, at most HeadDimTier
};

// The four TMA descriptors of a call, passed to the kernel by value: all zero on the
// cp.async path, whose kernels never read them.
struct DkdvMaps {
  CUtensorMap q;         // q rows, boxes of 32 query rows of one slice
  CUtensorMap d_output;  // d_output rows of one head, boxes of 32 query rows
  CUtensorMap k;         // k rows, boxes of 64 keys of one slice
  CUtensorMap v;         // v rows, boxes of 64 keys of one slice
};

// One thread block per (key block, head, batch-outer index). UseTma false: the cp.async +
// mma.sync family, tiers 16, 32, 64, 128; true: the TMA + wgmma family, tiers 16, 32, 64
// with D equal to the tier and `maps` encoded for this call. Raises the kernel's
// shared-memory limit, then enqueues it; the caller reads the launch status.
template <int HeadDimTier, int SeqTail, bool DeltaTrue, bool SquarePair, bool UseTma>
LaunchResult launch_dkdv(const DkdvLaunch& launch, const DkdvMaps& maps, cudaStream_t stream);

struct DeltaTrueFold {
  const float* partials;  // FP32 [rows / N][key_blocks][N]
  float* out;             // FP32 [rows]
  int64_t rows;
  int key_blocks;
  int N;
  int grid;  // fold_grid(rows), checked against grid x by the caller
};

// Sums each row's key-block partials in ascending block order.
void launch_delta_true_fold(const DeltaTrueFold& fold, cudaStream_t stream);

}  // namespace dkdv
}  // namespace kestrovane
