// The eight tensors that every attention backward kernel reads, as plain pointers: one record
// that the dK/dV, dQ/dBias and single-reconstruction launch records share. Plain types only,
// so kernel units include it without PyTorch.
#pragma once

namespace kestrovane {

struct BackwardInputs {
  const void* q;           // BF16 [B,O,H,N,D]
  const void* k;           // BF16 [B,O,H,N,D]
  const void* v;           // BF16 [B,O,H,N,D]
  const void* d_output;    // BF16 [B,O,N,H,D]
  const float* logsumexp;  // FP32, one value per [B,O,H,N] row
  const float* delta;      // FP32, one value per [B,O,H,N] row
  const float* mask;       // FP32 [B,O,1,1,N]
  const void* bias;        // BF16 [B,1,H,N,N]
};

}  // namespace kestrovane
