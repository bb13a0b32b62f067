// Test-only helper module (never part of a deliverable).
//
// Thin entry points over the model's tensor-core operations (emulator/tensor_core.cpp, built
// into this module directly): registers travel as int64 tensors holding 32-bit values,
// accumulators as float32 tensors, and shared memory as a uint8 tensor that stands for the
// window starting at shared address `window_base`.
#include <ATen/ATen.h>

#include <optional>
#include <string>
#include <tuple>

#include "common/module.h"
#include "emulator/tensor_core.cpp"

namespace {

using kestrovane_emu::fail;

// The shared window over a CPU uint8 tensor: raises as the thread model's window does.
struct TensorWindow final : kestrovane_emu::SharedWindowView {
  TensorWindow(const at::Tensor& bytes, int64_t base) : bytes_(bytes.contiguous()), base_(base) {
    TORCH_CHECK(bytes_.scalar_type() == at::kByte && bytes_.dim() == 1 && bytes_.device().is_cpu(),
                "window must be a 1-D CPU uint8 tensor");
    TORCH_CHECK(base >= 0 && base + bytes_.numel() <= (int64_t{1} << 32), "window must lie in the 32-bit space");
  }
  const uint8_t* read(uint32_t address, uint32_t bytes, uint32_t align) const override {
    if (align != 0 && address % align != 0) {
      fail("shared address " + std::to_string(address) + " is not " + std::to_string(align) + "-byte aligned");
    }
    const int64_t offset = int64_t{address} - base_;
    if (offset < 0 || offset + bytes > bytes_.numel()) {
      fail("shared read of " + std::to_string(bytes) + " bytes at " + std::to_string(address) +
           " leaves the window");
    }
    return bytes_.data_ptr<uint8_t>() + offset;
  }
  at::Tensor bytes_;
  int64_t base_;
};

template <int Rows, int Cols>
void registers_from(const at::Tensor& t, uint32_t (&out)[Rows][Cols], const char* what) {
  TORCH_CHECK(t.dim() == 2 && t.size(0) == Rows && t.size(1) == Cols && t.scalar_type() == at::kLong,
              what, " must be an int64 tensor of shape [", Rows, ", ", Cols, "]");
  const auto c = t.contiguous();
  const int64_t* p = c.data_ptr<int64_t>();
  for (int i = 0; i < Rows; ++i)
    for (int j = 0; j < Cols; ++j) out[i][j] = static_cast<uint32_t>(p[i * Cols + j]);
}

template <int Rows, int Cols>
at::Tensor registers_to(const uint32_t (&in)[Rows][Cols]) {
  auto t = at::empty({Rows, Cols}, at::kLong);
  int64_t* p = t.data_ptr<int64_t>();
  for (int i = 0; i < Rows; ++i)
    for (int j = 0; j < Cols; ++j) p[i * Cols + j] = in[i][j];
  return t;
}

// Registers past `count` come back as `untouched`, unless the operation wrote them.
at::Tensor ldmatrix(int64_t count, bool trans, const at::Tensor& row_addresses, const at::Tensor& window,
                    int64_t window_base, int64_t untouched) {
  TORCH_CHECK(row_addresses.dim() == 1 && row_addresses.numel() == 32 && row_addresses.scalar_type() == at::kLong,
              "row_addresses must be 32 int64");
  uint32_t rows[32];
  const auto r = row_addresses.contiguous();
  for (int i = 0; i < 32; ++i) rows[i] = static_cast<uint32_t>(r.data_ptr<int64_t>()[i]);
  uint32_t out[32][4];
  for (auto& lane : out)
    for (auto& reg : lane) reg = static_cast<uint32_t>(untouched);
  kestrovane_emu::ldmatrix(static_cast<int>(count), trans, rows, TensorWindow(window, window_base), out);
  return registers_to(out);
}

at::Tensor mma(const at::Tensor& a, const at::Tensor& b, const at::Tensor& c) {
  uint32_t ar[32][4], br[32][2];
  registers_from(a, ar, "a");
  registers_from(b, br, "b");
  TORCH_CHECK(c.scalar_type() == at::kFloat && c.dim() == 2 && c.size(0) == 32 && c.size(1) == 4,
              "c must be float32 [32, 4]");
  float cr[32][4], dr[32][4];
  const auto cc = c.contiguous();
  for (int i = 0; i < 32; ++i)
    for (int j = 0; j < 4; ++j) cr[i][j] = cc.data_ptr<float>()[i * 4 + j];
  kestrovane_emu::mma_m16n8k16_bf16(ar, br, cr, dr);
  auto d = at::empty({32, 4}, at::kFloat);
  for (int i = 0; i < 32; ++i)
    for (int j = 0; j < 4; ++j) d.data_ptr<float>()[i * 4 + j] = dr[i][j];
  return d;
}

std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t> decode(uint64_t descriptor) {
  const auto d = kestrovane_emu::decode_matrix_descriptor(descriptor);
  return {d.start_address, d.leading_byte_offset, d.stride_byte_offset, d.base_offset, d.layout_type};
}

// d = wgmma(...); with `in_place` the result is written over (a copy of) c, so d aliases c.
at::Tensor wgmma(int64_t n, const std::optional<at::Tensor>& a_regs, uint64_t a_desc, uint64_t b_desc,
                 bool accumulate, const at::Tensor& c, const at::Tensor& window, int64_t window_base,
                 bool in_place) {
  TORCH_CHECK(c.scalar_type() == at::kFloat && c.dim() == 2 && c.size(0) == 128 && c.size(1) == n / 2,
              "c must be float32 [128, N/2]");
  uint32_t ar[128][4];
  if (a_regs) registers_from(*a_regs, ar, "a_regs");
  auto cc = c.contiguous().clone();
  auto d = in_place ? cc : at::full_like(cc, -1.0f);
  kestrovane_emu::wgmma_m64nNk16_bf16(static_cast<int>(n), a_regs ? ar : nullptr, a_desc, b_desc, accumulate,
                                      cc.data_ptr<float>(), d.data_ptr<float>(), TensorWindow(window, window_base));
  return d;
}

}  // namespace

KESTROVANE_MODULE(_kestrovane_emu_tensor_core, m) {
  m.def("ldmatrix", &ldmatrix, "ldmatrix(count, trans, row_addresses[32], window, window_base, untouched)");
  m.def("mma", &mma, "mma.m16n8k16 bf16: d[32,4] from a[32,4], b[32,2] registers and c[32,4]");
  m.def("decode", &decode, "(start, lbo, sbo, base_offset, layout_type) of a matrix descriptor");
  m.def("wgmma", &wgmma,
        "wgmma m64nNk16 bf16: (n, a_regs[128,4] or None, a_desc, b_desc, accumulate, c[128,N/2], window, "
        "window_base, in_place)");
}
