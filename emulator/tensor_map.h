// The copy engine of the model: cuTensorMapEncodeTiled, validating its arguments as the
// CUDA driver API documents them, and the tile-mode bulk tensor copy that reads a box of
// an encoded map into shared memory with out-of-bounds zero fill and the swizzle modes.
#pragma once

#include <cuda.h>

#include <cstdint>

namespace kestrovane_emu {

// Same signature and return codes as the driver's cuTensorMapEncodeTiled: refuses what the
// driver refuses with CUDA_ERROR_INVALID_VALUE and, on success, stores the emulated map in
// the 128 opaque bytes of *map (nothing is written on failure).
CUresult tensor_map_encode_tiled(CUtensorMap* map, CUtensorMapDataType type, cuuint32_t rank, void* global_address,
                                 const cuuint64_t* global_dims, const cuuint64_t* global_strides,
                                 const cuuint32_t* box_dims, const cuuint32_t* element_strides,
                                 CUtensorMapInterleave interleave, CUtensorMapSwizzle swizzle,
                                 CUtensorMapL2promotion l2_promotion, CUtensorMapFloatOOBfill oob_fill);

// The rank of an emulated map, or 0 when *map holds none (never encoded by the function above).
int tensor_map_rank(const CUtensorMap& map);

// Bytes one tile copy of `map` delivers (the whole box, out-of-bounds elements included).
uint32_t tensor_map_box_bytes(const CUtensorMap& map);

// The global bytes a copy through `map` may read: from its global address to the end of
// its last element. Stores the start in *begin and returns the length.
size_t tensor_map_global_span(const CUtensorMap& map, const void** begin);

// cp.async.bulk.tensor.<rank>d.shared::cluster.global.tile: copies the box at `coords`
// (rank entries, innermost first, signed) into shared memory. `dst` is the host pointer of
// shared address `dst_address` (the swizzle pattern follows the shared address bits).
// Elements outside the tensor arrive as zeros. Raises an emulator error for a rank that
// differs from the map's or a destination misaligned for the map's swizzle. Returns the
// bytes written (tensor_map_box_bytes).
uint32_t tensor_map_tile_load(const CUtensorMap& map, int rank, const int32_t* coords, uint8_t* dst,
                              uint32_t dst_address);

}  // namespace kestrovane_emu
