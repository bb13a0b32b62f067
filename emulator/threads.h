// The thread model: every CUDA thread of a block is a fiber on the launching host thread,
// switched cooperatively at every point where CUDA threads meet (block barriers, warp
// collectives, warpgroup instructions, barrier waits). Blocks run one after another.
#pragma once

#include <vector_types.h>

#include <cstddef>
#include <cstdint>

namespace kestrovane_emu {

const uint3& current_thread_index();
const uint3& current_block_index();
const dim3& current_block_dim();
const dim3& current_grid_dim();

void sync_block();
void sync_warp(unsigned mask);

enum ShuffleMode { kShuffleIndex, kShuffleXor, kShuffleDown, kShuffleUp };
uint32_t shuffle(unsigned mask, uint32_t value, int mode, int operand, int width);

// The shared address (window offset) of a host pointer into the block's shared window.
uint32_t shared_address(const void* pointer);
// The host pointer of `bytes` bytes at shared address `address`; raises when the range
// leaves the window or is not aligned to `align`.
uint8_t* shared_pointer(uint32_t address, uint32_t bytes, uint32_t align);

// Raises when a global access of `bytes` bytes is not aligned to its width.
void check_global_alignment(const void* address, size_t bytes);

// The base of the dynamic shared-memory region of the running block.
unsigned char* dynamic_shared_memory();

}  // namespace kestrovane_emu
