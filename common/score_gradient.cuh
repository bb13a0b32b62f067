// The score, probability and gradient rule that every backward kernel recomputes, one
// definition so that the dK/dV and dQ/dBias kernels form P and dS with the same bits.
#pragma once

#include "common/numerics.cuh"
#include "common/ptx.cuh"

namespace kestrovane {

// Probability of one (query, key) element from its S product: score = fma(S, scale, mask)
// then + bias, P = 2^((score - reference) * log2e) with the subtraction and the
// multiplication rounded separately. `reference` is the row's logsumexp, or 0 for a fully
// masked row (logsumexp -inf), whose P the caller then replaces by 0: the test on logsumexp
// comes first, so -inf - -inf is never formed, and no branch is taken.
__device__ __forceinline__ float backward_probability(float s, float scale, float mask, float bias, float reference) {
  const float score = add_rn(__fmaf_rn(s, scale, mask), bias);
  return ptx::ex2_approx(mul_rn(sub_rn(score, reference), kLog2e));
}

// dS = P * (dP - delta), the subtraction first.
__device__ __forceinline__ float score_gradient(float p, float dp, float delta) { return mul_rn(p, sub_rn(dp, delta)); }

}  // namespace kestrovane
