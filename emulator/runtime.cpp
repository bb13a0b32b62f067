// The CUDA runtime calls that the modules make, answered by the model: one device with the
// attributes of an H100 SXM (132 multiprocessors, compute capability 9.0, 48 KB of default
// and 227 KB of opt-in shared memory per block), per-thread last errors, shared-memory
// opt-in per kernel and the driver entry point of the model's tensor-map encoder. These
// definitions are local to each emulated module and shadow the CUDA runtime's inside it.
#include <cuda.h>
#include <cuda_runtime_api.h>

#include <cstring>

#include "emulator/runtime_state.h"
#include "emulator/tensor_map.h"

namespace kestrovane_emu {
namespace {

constexpr int kMultiprocessors = 132;
constexpr int kSharedPerBlock = 48 * 1024;
constexpr int kSharedPerBlockOptIn = 232448;
constexpr int kSharedPerMultiprocessor = 233472;

thread_local cudaError_t t_last_error = cudaSuccess;

cudaError_t fail_with(cudaError_t error) {
  set_last_error(error);
  return error;
}

}  // namespace

void set_last_error(cudaError_t error) {
  if (error != cudaSuccess) t_last_error = error;
}

}  // namespace kestrovane_emu

using kestrovane_emu::fail_with;
using namespace kestrovane_emu;

extern "C" {

cudaError_t cudaGetLastError(void) {
  const cudaError_t error = kestrovane_emu::t_last_error;
  kestrovane_emu::t_last_error = cudaSuccess;
  return error;
}

cudaError_t cudaPeekAtLastError(void) { return kestrovane_emu::t_last_error; }

const char* cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidDeviceFunction: return "invalid device function";
    case cudaErrorNoKernelImageForDevice: return "no kernel image is available for execution on the device";
    case cudaErrorLaunchOutOfResources: return "too many resources requested for launch";
    default: return "unknown error";
  }
}

cudaError_t cudaDeviceGetAttribute(int* value, enum cudaDeviceAttr attr, int device) {
  if (value == nullptr) return fail_with(cudaErrorInvalidValue);
  if (device != 0) return fail_with(cudaErrorInvalidDevice);
  switch (attr) {
    case cudaDevAttrMultiProcessorCount: *value = kMultiprocessors; return cudaSuccess;
    case cudaDevAttrMaxSharedMemoryPerBlockOptin: *value = kSharedPerBlockOptIn; return cudaSuccess;
    case cudaDevAttrMaxSharedMemoryPerBlock: *value = kSharedPerBlock; return cudaSuccess;
    case cudaDevAttrMaxSharedMemoryPerMultiprocessor: *value = kSharedPerMultiprocessor; return cudaSuccess;
    case cudaDevAttrComputeCapabilityMajor: *value = 9; return cudaSuccess;
    case cudaDevAttrComputeCapabilityMinor: *value = 0; return cudaSuccess;
    case cudaDevAttrMaxThreadsPerBlock: *value = 1024; return cudaSuccess;
    case cudaDevAttrWarpSize: *value = 32; return cudaSuccess;
    case cudaDevAttrMaxGridDimX: *value = 0x7FFFFFFF; return cudaSuccess;
    case cudaDevAttrMaxGridDimY:
    case cudaDevAttrMaxGridDimZ: *value = 65535; return cudaSuccess;
    default: return fail_with(cudaErrorInvalidValue);
  }
}

cudaError_t cudaFuncSetAttribute(const void* func, enum cudaFuncAttribute attr, int value) {
  if (func == nullptr) return fail_with(cudaErrorInvalidDeviceFunction);
  if (attr == cudaFuncAttributeMaxDynamicSharedMemorySize) {
    const int limit = kSharedPerBlockOptIn - static_cast<int>(kestrovane_emu::kernel_static_shared_bytes(func));
    if (value < 0 || value > limit) return fail_with(cudaErrorInvalidValue);
    kestrovane_emu::set_kernel_max_dynamic_smem(func, value);
    return cudaSuccess;
  }
  if (attr == cudaFuncAttributePreferredSharedMemoryCarveout) {
    return value >= -1 && value <= 100 ? cudaSuccess : fail_with(cudaErrorInvalidValue);
  }
  return fail_with(cudaErrorInvalidValue);
}

cudaError_t cudaFuncGetAttributes(struct cudaFuncAttributes* attr, const void* func) {
  if (attr == nullptr) return fail_with(cudaErrorInvalidValue);
  if (func == nullptr) return fail_with(cudaErrorInvalidDeviceFunction);
  std::memset(attr, 0, sizeof *attr);
  attr->sharedSizeBytes = kestrovane_emu::kernel_static_shared_bytes(func);
  attr->maxThreadsPerBlock = 1024;
  attr->maxDynamicSharedSizeBytes = kestrovane_emu::kernel_max_dynamic_smem(func);
  attr->ptxVersion = 90;
  attr->binaryVersion = 90;
  return cudaSuccess;
}

cudaError_t cudaGetDriverEntryPointByVersion(const char* symbol, void** funcPtr, unsigned int cudaVersion,
                                             unsigned long long flags,
                                             enum cudaDriverEntryPointQueryResult* driverStatus) {
  if (symbol == nullptr || funcPtr == nullptr) return fail_with(cudaErrorInvalidValue);
  *funcPtr = nullptr;
  if (std::strcmp(symbol, "cuTensorMapEncodeTiled") == 0 && cudaVersion >= 12000) {
    *funcPtr = reinterpret_cast<void*>(&kestrovane_emu::tensor_map_encode_tiled);
    if (driverStatus != nullptr) *driverStatus = cudaDriverEntryPointSuccess;
    return cudaSuccess;
  }
  if (driverStatus != nullptr) *driverStatus = cudaDriverEntryPointSymbolNotFound;
  return cudaSuccess;
}

cudaError_t cudaGetDriverEntryPoint(const char* symbol, void** funcPtr, unsigned long long flags,
                                    enum cudaDriverEntryPointQueryResult* driverStatus) {
  return cudaGetDriverEntryPointByVersion(symbol, funcPtr, 12000, flags, driverStatus);
}

}  // extern "C"
