// Tensor-core operations of the model, after the PTX ISA:
//   ldmatrix                 "Warp-level matrix load instruction: ldmatrix" (m8n8, b16)
//   mma.m16n8k16 (bf16)      "Matrix Fragments for mma.m16n8k16 with floating point type"
//   wgmma.mma_async m64nNk16 "Register Fragments" (A and D of m64nNk16), "Shared Memory Matrix
//                            Layout" (K-major canonical layouts and swizzle modes) and "Matrix
//                            Descriptor Format"
//
// Numerics of both MMAs: a BF16 x BF16 product has at most 16 significant bits, so it is exact
// in FP32 and in double. Each element of D is computed as C plus its 16 exact products summed
// in double and rounded once to FP32 (round to nearest even). The ISA leaves the accumulation
// order and intermediate rounding to the implementation, so the hardware may differ from this in
// the last place; NaN and infinity propagate as IEEE arithmetic makes them.
#include "emulator/tensor_core.h"

#include <cstring>
#include <string>

#include "emulator/error.h"

namespace kestrovane_emu {
namespace {

// The BF16 value in the low 16 bits of `bits`, widened exactly.
double bf16_value(uint32_t bits) {
  const uint32_t f32 = (bits & 0xFFFFu) << 16;
  float value;
  std::memcpy(&value, &f32, sizeof value);
  return value;
}

// Element `half` (0: low 16 bits, 1: high 16 bits) of a register holding two BF16.
double bf16_half(uint32_t reg, int half) { return bf16_value(half ? reg >> 16 : reg); }

uint16_t load_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The fragment of A that lane `lane` holds for a 16x16 row-major A in the m16n8k16 layout
// (also the per-warp layout of wgmma's register A): register i holds elements a(2i), a(2i+1) with
//   row = g      for a0, a1, a4, a5;   g + 8 otherwise
//   col = 2c + (j & 1)                 for aj, j < 4;   2c + (j & 1) + 8 for j >= 4
// where g = lane / 4 (groupID) and c = lane % 4 (threadID_in_group).
void scatter_a_fragment(int lane, const uint32_t (&regs)[4], double (&a)[16][16]) {
  const int g = lane >> 2, c = lane & 3;
  for (int i = 0; i < 4; ++i) {
    const int row = g + ((i & 1) ? 8 : 0);
    const int col = 2 * c + ((i & 2) ? 8 : 0);
    a[row][col] = bf16_half(regs[i], 0);
    a[row][col + 1] = bf16_half(regs[i], 1);
  }
}

// c + sum_k a[k] * b[k] over 16 terms: exact products, summed in double, rounded once.
float dot16(const double* a_row, const double (*b)[8], int col, float c) {
  double sum = c;
  for (int k = 0; k < 16; ++k) sum += a_row[k] * b[k][col];
  return static_cast<float>(sum);
}

}  // namespace

void ldmatrix(int count, bool trans, const uint32_t (&row_address)[32], const SharedWindowView& smem,
              uint32_t (&out)[32][4]) {
  if (count != 1 && count != 2 && count != 4) fail("ldmatrix: .num must be x1, x2 or x4, got " + std::to_string(count));
  for (int m = 0; m < count; ++m) {
    // Matrix m, element [row][col]; its rows come from lanes 8m .. 8m + 7.
    uint16_t mat[8][8];
    for (int row = 0; row < 8; ++row) {
      const int lane = 8 * m + row;
      const uint32_t address = row_address[lane];
      if (address % 16 != 0) {
        fail("ldmatrix: row address " + std::to_string(address) + " of lane " + std::to_string(lane) +
             " is not 16-byte aligned");
      }
      const uint8_t* p = smem.read(address, 16, 16);
      for (int col = 0; col < 8; ++col) mat[row][col] = load_u16(p + 2 * col);
    }
    // Lane l receives row l / 4, columns 2 (l % 4) and 2 (l % 4) + 1 (low half: lower column);
    // with .trans the matrix is delivered transposed (column-major).
    for (int lane = 0; lane < 32; ++lane) {
      const int r = lane >> 2, c0 = 2 * (lane & 3);
      const uint16_t lo = trans ? mat[c0][r] : mat[r][c0];
      const uint16_t hi = trans ? mat[c0 + 1][r] : mat[r][c0 + 1];
      out[lane][m] = static_cast<uint32_t>(lo) | (static_cast<uint32_t>(hi) << 16);
    }
  }
}

void mma_m16n8k16_bf16(const uint32_t (&a)[32][4], const uint32_t (&b)[32][2], const float (&c)[32][4],
                       float (&d)[32][4]) {
  double am[16][16];
  double bm[16][8];
  float cm[16][8];
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane >> 2, t = lane & 3;
    scatter_a_fragment(lane, a[lane], am);
    // B (16x8, "col"): register i holds b(2i), b(2i+1) at rows 2t + (j & 1) (+ 8 for j >= 2), column g.
    for (int i = 0; i < 2; ++i) {
      bm[2 * t + 8 * i][g] = bf16_half(b[lane][i], 0);
      bm[2 * t + 8 * i + 1][g] = bf16_half(b[lane][i], 1);
    }
    // C/D: ci at row g (i < 2) or g + 8 (i >= 2), column 2t + (i & 1).
    for (int i = 0; i < 4; ++i) cm[g + (i >= 2 ? 8 : 0)][2 * t + (i & 1)] = c[lane][i];
  }
  float dm[16][8];
  for (int row = 0; row < 16; ++row)
    for (int col = 0; col < 8; ++col) dm[row][col] = dot16(am[row], bm, col, cm[row][col]);
  for (int lane = 0; lane < 32; ++lane) {
    const int g = lane >> 2, t = lane & 3;
    for (int i = 0; i < 4; ++i) d[lane][i] = dm[g + (i >= 2 ? 8 : 0)][2 * t + (i & 1)];
  }
}

MatrixDescriptor decode_matrix_descriptor(uint64_t descriptor) {
  // Addresses and offsets are stored as matrix-descriptor-encode(x) = (x & 0x3FFFF) >> 4.
  MatrixDescriptor out;
  out.start_address = static_cast<uint32_t>(descriptor & 0x3FFFu) << 4;             // bits 13-0
  out.leading_byte_offset = static_cast<uint32_t>((descriptor >> 16) & 0x3FFFu) << 4;  // bits 29-16
  out.stride_byte_offset = static_cast<uint32_t>((descriptor >> 32) & 0x3FFFu) << 4;   // bits 45-32
  out.base_offset = static_cast<uint32_t>((descriptor >> 49) & 0x7u);                  // bits 51-49
  out.layout_type = static_cast<uint32_t>((descriptor >> 62) & 0x3u);                  // bits 63-62
  return out;
}

namespace {

// A K-major operand of wgmma (rows of 16 BF16 along K) read from shared memory through its
// descriptor, per the ISA's canonical K-major layouts (T = 8 BF16 = 16 bytes):
//   no swizzle       ((8,m),(T,2k)):((1T,SBO),(1,LBO))   core matrices of 8 rows x 16 bytes;
//                    SBO steps 8 rows, LBO steps the second 8 K-elements
//   32/64/128B       ((8,m),(T,2k)):((ST,SBO),(1,T))     S = 2, 4, 8: a row of the swizzle atom is
//                    32/64/128 bytes and holds the 16 K-elements contiguously; SBO steps 8 rows,
//                    LBO is not used
// followed by Swizzle<B,4,3> (B = 0, 1, 2, 3) on the byte address: the 16-byte chunk bits [4, 4+B)
// are XORed with address bits [7, 7+B), which step once per 128 bytes of the pattern (every row
// at 128B, every 2 rows at 64B, every 4 rows at 32B). The pattern repeats every 8 rows (1024, 512,
// 256 bytes); when it does not start on such a boundary the descriptor's base offset holds
// (pattern start >> 7) & 7, and bits [7, 7+B) are counted from the pattern start: the address's
// bits 7 and up, less the base offset.
class KMajorOperand {
 public:
  KMajorOperand(const char* name, uint64_t descriptor, int rows, const SharedWindowView& smem)
      : name_(name), desc_(decode_matrix_descriptor(descriptor)), smem_(smem) {
    switch (desc_.layout_type) {
      case 0: swizzle_bytes_ = 0; break;
      case 1: swizzle_bytes_ = 128; break;
      case 2: swizzle_bytes_ = 64; break;
      default: swizzle_bytes_ = 32; break;
    }
    if (swizzle_bytes_ == 0) {
      if (desc_.base_offset != 0) reject("a base offset is not valid in the no-swizzle mode");
      return;
    }
    // The matrix starts in the first row of a swizzle pattern (the K-slice of 16 elements, 32 bytes,
    // lying within that row) and is made of whole patterns, one per 8 rows.
    const uint32_t period = 8 * swizzle_bytes_;
    const uint32_t pattern_offset = (desc_.start_address + period - (128u * desc_.base_offset) % period) % period;
    if (pattern_offset + 32 > swizzle_bytes_) {
      reject("start address " + std::to_string(desc_.start_address) + " with base offset " +
             std::to_string(desc_.base_offset) + " does not place the 32-byte K slice in the first row of a " +
             std::to_string(swizzle_bytes_) + "B swizzle pattern");
    }
    if (rows > 8 && desc_.stride_byte_offset % period != 0) {
      reject("stride byte offset " + std::to_string(desc_.stride_byte_offset) + " is not a whole number of " +
             std::to_string(period) + "-byte swizzle patterns");
    }
  }

  // Row `row` of the operand: its 16 K-elements, read as two 16-byte chunks of 8.
  void read_row(int row, double (&out)[16]) const {
    for (int half = 0; half < 2; ++half) {
      uint32_t address = desc_.start_address + static_cast<uint32_t>(row / 8) * desc_.stride_byte_offset;
      if (swizzle_bytes_ == 0) {
        address += static_cast<uint32_t>(row % 8) * 16 + static_cast<uint32_t>(half) * desc_.leading_byte_offset;
      } else {
        address += static_cast<uint32_t>(row % 8) * swizzle_bytes_ + static_cast<uint32_t>(half) * 16;
        const uint32_t mask = swizzle_bytes_ / 16 - 1;
        const uint32_t pattern_row = ((address >> 7) - desc_.base_offset) & mask;
        address ^= pattern_row << 4;
      }
      const uint8_t* chunk = smem_.read(address, 16, 16);
      for (int k = 0; k < 8; ++k) out[8 * half + k] = bf16_value(load_u16(chunk + 2 * k));
    }
  }

 private:
  [[noreturn]] void reject(const std::string& why) const {
    fail(std::string("wgmma: matrix descriptor of ") + name_ + ": " + why);
  }

  const char* name_;
  MatrixDescriptor desc_;
  const SharedWindowView& smem_;
  uint32_t swizzle_bytes_ = 0;
};

}  // namespace

void wgmma_m64nNk16_bf16(int n, const uint32_t (*a_regs)[4], uint64_t a_desc, uint64_t b_desc, bool accumulate,
                         const float* c, float* d, const SharedWindowView& smem) {
  if (n != 32 && n != 64) fail("wgmma: the model supports m64nNk16 with N = 32 or 64, got N = " + std::to_string(n));
  double a[64][16];
  if (a_regs != nullptr) {
    // Register A: warp w holds rows 16w .. 16w + 15 in the m16n8k16 A-fragment layout.
    for (int w = 0; w < 4; ++w) {
      double block[16][16];
      for (int lane = 0; lane < 32; ++lane) scatter_a_fragment(lane, a_regs[32 * w + lane], block);
      for (int row = 0; row < 16; ++row)
        for (int k = 0; k < 16; ++k) a[16 * w + row][k] = block[row][k];
    }
  } else {
    const KMajorOperand a_smem("A", a_desc, 64, smem);
    for (int row = 0; row < 64; ++row) a_smem.read_row(row, a[row]);
  }
  // B is K x N, stored K-major: N rows of 16 K-elements.
  const KMajorOperand b_smem("B", b_desc, n, smem);
  double b[16][64];
  for (int col = 0; col < n; ++col) {
    double column[16];
    b_smem.read_row(col, column);
    for (int k = 0; k < 16; ++k) b[k][col] = column[k];
  }

  // D: thread t = 32w + lane, g = lane / 4, c = lane % 4; per block j of 8 columns
  // d[4j + i] is (row 16w + g + 8 (i >= 2), column 8j + 2c + (i & 1)).
  const int per_thread = n / 2;
  float result[128][32];
  for (int t = 0; t < 128; ++t) {
    const int w = t >> 5, lane = t & 31, g = lane >> 2, tc = lane & 3;
    for (int r = 0; r < per_thread; ++r) {
      const int j = r >> 2, i = r & 3;
      const int row = 16 * w + g + (i >= 2 ? 8 : 0);
      const int col = 8 * j + 2 * tc + (i & 1);
      // Without accumulation the sum starts from -0, the identity of IEEE addition.
      double sum = accumulate ? static_cast<double>(c[t * per_thread + r]) : -0.0;
      for (int k = 0; k < 16; ++k) sum += a[row][k] * b[k][col];
      result[t][r] = static_cast<float>(sum);
    }
  }
  for (int t = 0; t < 128; ++t)
    for (int r = 0; r < per_thread; ++r) d[t * per_thread + r] = result[t][r];
}

}  // namespace kestrovane_emu
