// Warp- and warpgroup-wide tensor-core operations of the model: ldmatrix, mma.sync and
// wgmma.mma_async, as pure functions over the registers of every participating lane.
// The thread model gathers the lanes' operands at the instruction's rendezvous and calls
// these once per instruction; fragment layouts follow the PTX ISA's figures.
#pragma once

#include <cstdint>

namespace kestrovane_emu {

// A block's shared window as the tensor-core operations read it: a host pointer to
// `bytes` bytes at shared address `address`. Raises (emulator error) when the range
// leaves the window or is misaligned for `align` bytes.
struct SharedWindowView {
  virtual const uint8_t* read(uint32_t address, uint32_t bytes, uint32_t align) const = 0;
  virtual ~SharedWindowView() = default;
};

// ldmatrix.sync.aligned.m8n8.{x1,x2,x4}[.trans].shared.b16: `count` (1, 2 or 4) 8x8 matrices
// of 16-bit elements. Lane l supplies row_address[l], the address of row l % 8 of matrix
// l / 8 (16 bytes, 16-byte aligned; lanes at or past 8 * count are ignored). out[l][i] is
// register i of lane l (registers at or past `count` are left untouched).
void ldmatrix(int count, bool trans, const uint32_t (&row_address)[32], const SharedWindowView& smem,
              uint32_t (&out)[32][4]);

// mma.sync.aligned.m16n8k16.row.col.f32.bf16.bf16.f32: d = a * b + c, with every lane's
// fragments (a: four registers of two BF16 each, b: two, c and d: four FP32).
void mma_m16n8k16_bf16(const uint32_t (&a)[32][4], const uint32_t (&b)[32][2], const float (&c)[32][4],
                       float (&d)[32][4]);

// The fields of a wgmma shared-memory matrix descriptor (64-bit), decoded.
struct MatrixDescriptor {
  uint32_t start_address;        // bytes
  uint32_t leading_byte_offset;  // bytes
  uint32_t stride_byte_offset;   // bytes
  uint32_t base_offset;          // 3 bits
  uint32_t layout_type;          // 2 bits: 0 interleave (no swizzle), 1 128B, 2 64B, 3 32B
};
MatrixDescriptor decode_matrix_descriptor(uint64_t descriptor);

// wgmma.mma_async.sync.aligned.m64nNk16.f32.bf16.bf16 with imm-scale-a = imm-scale-b = 1 and
// neither operand transposed (both K-major), N = 32 or 64, over the 128 threads of a
// warpgroup (thread t = warp * 32 + lane). A comes from registers (a_regs[t][0..3], the RS
// form; a_desc ignored) or, when a_regs is null, from shared memory through a_desc (the SS
// form). B always comes from shared memory through b_desc. c and d hold N / 2 FP32
// accumulators per thread, row-major as [128][N / 2]; with accumulate false c is ignored
// and d = A * B. d may alias c.
void wgmma_m64nNk16_bf16(int n, const uint32_t (*a_regs)[4], uint64_t a_desc, uint64_t b_desc, bool accumulate,
                         const float* c, float* d, const SharedWindowView& smem);

}  // namespace kestrovane_emu
