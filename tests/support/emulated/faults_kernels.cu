// Kernels with planted faults, for the CPU execution model only: each breaks one rule of
// the CUDA programming model in the way a kernel of the library could, and the model must
// report it (with its checks off, a read of an unfinished copy hands back the poison
// pattern). The last one breaks none and must run clean.
#include <cuda_runtime.h>

#include <cstdint>

#include "common/kernel_launch.cuh"
#include "common/ptx.cuh"
#include "tests/support/emulated/faults.h"

namespace {

using namespace kestrovane::ptx;

// Warp 0 waits for a barrier phase that needs an arrival from every thread; warp 1, which
// should arrive, waits too.
__global__ void missing_arrival_kernel(float* out) {
  __shared__ __align__(8) uint64_t barrier;
  const uint32_t address = smem_address(&barrier);
  if (threadIdx.x == 0) {
    mbarrier_init(address, blockDim.x);
    fence_mbarrier_init();
  }
  __syncthreads();
  if (threadIdx.x < 32) mbarrier_arrive_expect_tx(address, 0);
  mbarrier_wait_parity(address, 0);
  out[threadIdx.x] = 1.0f;
}

// Half the warp shuffles with the full mask, the other half with its own half.
__global__ void partial_mask_shuffle_kernel(float* out) {
  const unsigned lane = threadIdx.x % 32;
  const float v = static_cast<float>(lane);
  out[lane] = lane < 16 ? __shfl_xor_sync(0xffffffffu, v, 1) : __shfl_xor_sync(0xffff0000u, v, 1);
}

// Reads a cp.async destination before and after the wait for its group.
__global__ void early_copy_read_kernel(const float* src, float* out) {
  float* tile = reinterpret_cast<float*>(kestrovane::dynamic_smem<16>());
  cp_async_cg_16(smem_address(tile), src, 16);
  cp_async_commit();
  out[0] = tile[0];  // too early: the group is still in flight
  cp_async_wait<0>();
  out[1] = tile[0];
}

// Warp 1 reads what warp 0 wrote; each warp orders only its own lanes (__syncwarp).
__global__ void shared_race_kernel(float* out) {
  __shared__ float tile[64];
  if (threadIdx.x < 32) tile[threadIdx.x] = 1.0f;
  __syncwarp();
  if (threadIdx.x >= 32) out[threadIdx.x] = tile[threadIdx.x - 32];
}

// Reads shared memory that nothing wrote (a store no thread reaches keeps the compiler from
// taking the tile for a constant).
__global__ void uninitialised_read_kernel(float* out) {
  __shared__ float tile[32];
  if (threadIdx.x >= blockDim.x) tile[0] = 0.0f;
  out[threadIdx.x] = tile[threadIdx.x];
}

// The last thread stores one element past the end of out.
__global__ void tail_store_kernel(float* out, int n) {
  if (threadIdx.x <= static_cast<unsigned>(n)) out[threadIdx.x] = 1.0f;
}

// A 16-byte store 8 bytes into out.
__global__ void misaligned_store_kernel(float* out) {
  auto* row = reinterpret_cast<uint4*>(reinterpret_cast<char*>(out) + 8 + 16 * threadIdx.x);
  *row = make_uint4(1, 2, 3, 4);
}

// Every block writes the same elements.
__global__ void block_conflict_kernel(float* out) { out[threadIdx.x] = static_cast<float>(blockIdx.x); }

// Exchanges that are ordered: through __syncthreads, __syncwarp and an mbarrier phase.
__global__ void ordered_exchange_kernel(float* out) {
  __shared__ float block_tile[64], warp_tile[64], handoff[32];
  __shared__ __align__(8) uint64_t barrier;
  const unsigned t = threadIdx.x;
  const uint32_t address = smem_address(&barrier);
  if (t == 0) {
    mbarrier_init(address, 32);
    fence_mbarrier_init();
  }
  block_tile[t] = static_cast<float>(t);
  __syncthreads();
  float v = block_tile[63 - t];
  warp_tile[t] = v;
  __syncwarp();
  v += warp_tile[t ^ 1];
  if (t >= 32) {
    handoff[t - 32] = static_cast<float>(100 + t);
    mbarrier_arrive_expect_tx(address, 0);
  } else {
    mbarrier_wait_parity(address, 0);
    v += handoff[31 - t];
  }
  out[t] = v;
}

// An ldmatrix row one past the block's 1 KB of dynamic shared memory.
__global__ void out_of_window_kernel(float* out) {
  unsigned char* window = kestrovane::dynamic_smem<16>();
  uint32_t r[4];
  ldmatrix_x4(r, smem_address(window) + 1024 + 16 * (threadIdx.x % 8));
  out[threadIdx.x] = static_cast<float>(r[0]);
}

// Every thread writes its linear index: what a launch ran, and nothing else.
__global__ void probe_kernel(float* out) {
  const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
  const unsigned t = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const unsigned b = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  out[static_cast<size_t>(b) * threads + t] = static_cast<float>(static_cast<size_t>(b) * threads + t);
}

}  // namespace

namespace kestrovane_faults {

int probe_launch(dim3 grid, dim3 block, int dynamic_smem, int opt_in, float* out) {
  if (opt_in >= 0) {
    const cudaError_t result =
        cudaFuncSetAttribute(probe_kernel, cudaFuncAttributeMaxDynamicSharedMemorySize, opt_in);
    if (result != cudaSuccess) return -static_cast<int>(result);
  }
  kestrovane::launch_kernel(probe_kernel, grid, block, static_cast<size_t>(dynamic_smem), nullptr, out);
  return static_cast<int>(cudaGetLastError());
}

void launch(Fault fault, const float* src, float* out) {
  switch (fault) {
    case Fault::missing_arrival:
      kestrovane::launch_kernel(missing_arrival_kernel, dim3(1), dim3(64), 0, nullptr, out);
      break;
    case Fault::partial_mask_shuffle:
      kestrovane::launch_kernel(partial_mask_shuffle_kernel, dim3(1), dim3(32), 0, nullptr, out);
      break;
    case Fault::early_copy_read:
      kestrovane::launch_kernel(early_copy_read_kernel, dim3(1), dim3(1), 16, nullptr, src, out);
      break;
    case Fault::out_of_window:
      kestrovane::launch_kernel(out_of_window_kernel, dim3(2), dim3(32), 1024, nullptr, out);
      break;
    case Fault::shared_race:
      kestrovane::launch_kernel(shared_race_kernel, dim3(1), dim3(64), 0, nullptr, out);
      break;
    case Fault::uninitialised_read:
      kestrovane::launch_kernel(uninitialised_read_kernel, dim3(1), dim3(32), 0, nullptr, out);
      break;
    case Fault::tail_store:
      kestrovane::launch_kernel(tail_store_kernel, dim3(1), dim3(65), 0, nullptr, out, 64);
      break;
    case Fault::misaligned_store:
      kestrovane::launch_kernel(misaligned_store_kernel, dim3(1), dim3(2), 0, nullptr, out);
      break;
    case Fault::block_conflict:
      kestrovane::launch_kernel(block_conflict_kernel, dim3(2), dim3(4), 0, nullptr, out);
      break;
    case Fault::ordered_exchange:
      kestrovane::launch_kernel(ordered_exchange_kernel, dim3(1), dim3(64), 0, nullptr, out);
      break;
  }
}

}  // namespace kestrovane_faults
