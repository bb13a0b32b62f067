// Kernel launches in the model: synchronous, on the calling host thread. Every thread of
// every block runs the kernel function with its own copy of the parameters, as the
// hardware hands every thread the same parameter values.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

namespace kestrovane_emu {

// Runs `thread_body` once per thread of every block of the grid, or leaves the runtime
// error that the CUDA runtime would leave for this configuration and returns.
void run_grid(const void* kernel, dim3 grid, dim3 block, size_t dynamic_smem, const std::function<void()>& thread_body);

template <class... Params, class... Args>
void launch(void (*kernel)(Params...), dim3 grid, dim3 block, size_t dynamic_smem, Args&&... args) {
  // Converted once to the parameter types, as the runtime packs them at the launch.
  std::tuple<std::decay_t<Params>...> params(std::forward<Args>(args)...);
  run_grid(reinterpret_cast<const void*>(kernel), grid, block, dynamic_smem,
           [&params, kernel] { std::apply(kernel, params); });
}

}  // namespace kestrovane_emu
