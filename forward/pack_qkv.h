// Launcher of the QKV pack kernel. Plain types only, so the entry unit does not
// see device code and the kernel unit does not see PyTorch.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

namespace kestrovane {
namespace forward {

// Destination rows handled by one thread block (one row per threadIdx.y).
constexpr int kPackRowsPerBlock = 8;
// The pack's grid is one-dimensional: ceil(rows / 8) blocks must stay within grid x.
constexpr int64_t kPackMaxRows = int64_t{kPackRowsPerBlock} * 2147483647;

struct PackLaunch {
  const void* q_src;
  const void* k_src;
  const void* v_src;
  void* q_dst;
  void* k_dst;
  void* v_dst;
  int64_t rows;  // batch_outer * H * N
  int H;
  int N;
  int D;  // even, at most 64
};

// Queues the pack on `stream`; the caller reads cudaGetLastError afterwards.
void launch_pack_qkv(const PackLaunch& launch, cudaStream_t stream);

}  // namespace forward
}  // namespace kestrovane
