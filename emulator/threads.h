// The thread model: every CUDA thread of a block is a fiber on the launching host thread,
// switched cooperatively at every point where CUDA threads meet (block barriers, warp
// collectives, warpgroup instructions, barrier waits). Blocks run one after another.
#pragma once

#include <vector_types.h>

#include <cstddef>
#include <cstdint>

namespace kestrovane_emu {

// By value: a kernel's reads of them are not accesses to the model's own memory.
uint3 current_thread_index();
uint3 current_block_index();
dim3 current_block_dim();
dim3 current_grid_dim();

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

// Every load and store of a kernel unit (its instrumentation calls this): shared accesses
// are checked against the block's window and its happens-before order, global ones against
// the tensors of the launch. A fault abandons the launch (it never returns).
void on_access(const void* address, size_t bytes, bool write);

// A dereference through a pointer misaligned for its type (the alignment instrumentation of
// a kernel unit calls this): a fault inside a kernel thread, ignored elsewhere.
void on_misaligned(const void* address, const char* kind, const char* type, unsigned alignment, const char* file,
                   unsigned line);

// The base of the dynamic shared-memory region of the running block.
unsigned char* dynamic_shared_memory();

}  // namespace kestrovane_emu
