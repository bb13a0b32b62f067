// What the model checks on every access a kernel makes, as a sanitizer would on a GPU:
// happens-before between the threads of a block on every shared byte (races), the proxy
// rules of the asynchronous operations, reads of shared memory nothing wrote, and, for
// global memory, accesses outside every tensor a launch can reach and bytes that two
// blocks of one launch both touch (one of them writing).
//
// The ordering model. Every thread of a block has a clock, and every thread knows a clock
// value of every other thread and of every agent (vector clocks). Agents stand for the
// asynchronous units: one per warpgroup (the shared-memory reads of its wgmma groups) and
// one per mbarrier (the bulk copies completing on it). Ordering comes only from:
//   __syncthreads                       every thread of the block with every other;
//   __syncwarp and warp collectives     the lanes that take part;
//   mbarrier arrive -> observed phase   the arrivals (and the bulk copies of the phase)
//                                       before each thread whose wait sees the phase;
//   cp.async wait_group                 a thread's copies before its own later accesses;
//   wgmma wait_group                    a group's operand reads before the thread's later
//                                       accesses.
// Two accesses to one byte by different threads or agents, at least one a write, with
// neither ordered before the other, are a race. A shared byte holds its last write and the
// reads since that are not ordered before one another, so a race is found in whichever
// order the schedule runs the two sides.
#pragma once

#include <vector_types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrovane_emu {

// Off with KESTROVANE_EMULATOR_CHECKS=off (a quicker run); on otherwise.
bool checks_enabled();

class SharedChecks {
 public:
  // A block of `threads` threads (`block` its shape) whose shared window ends at `window_end`.
  void begin_block(dim3 block, uint32_t window_end);
  // Marks [offset, offset + bytes) as not written since the block started.
  void clear(uint32_t offset, uint32_t bytes);

  // A plain load or store (and ldmatrix rows) of thread t.
  void read(int t, uint32_t address, uint32_t bytes, const char* what);
  void write(int t, uint32_t address, uint32_t bytes, const char* what);
  // An mbarrier object: synchronisation, not data; later data accesses to it are not checked.
  void mark_sync_object(uint32_t address, uint32_t bytes);

  // Ordering.
  void sync_block();
  void join(const int* threads, int count);  // a warp collective over these lanes
  void fence_proxy_async(int t);
  int mbarrier_agent(uint32_t barrier);      // the barrier's agent, assigned at first use
  void mbarrier_arrive(int t, int agent);
  void mbarrier_phase_complete(int agent, uint32_t completed_phases);
  void mbarrier_observe(int t, int agent);

  // cp.async: checked as a write of the issuing thread when issued; in flight until the
  // thread's wait completes it, when it becomes the thread's (generic-proxy) write.
  void copy_issue(int t, uint32_t address, uint32_t bytes);
  void copy_complete(int t, uint32_t address, uint32_t bytes);
  // A bulk tensor copy: issued by thread t; delivered as a write of the barrier's agent.
  void bulk_issue(int t, int agent, uint32_t address, uint32_t bytes);
  void bulk_deliver(int agent, uint32_t completed_phases, uint32_t address, uint32_t bytes);
  // wgmma operand reads of warpgroup `group`'s instruction `sequence`, issued with the
  // knowledge of thread `t` (the warpgroup's first thread); retired per thread.
  void wgmma_read(int t, int group, uint32_t sequence, uint32_t address, uint32_t bytes);
  void wgmma_retire(int t, int group, uint32_t sequence);

 private:
  struct Cell {
    uint32_t write_clock;
    uint16_t writer;  // id + 1; 0: not written since the block started
    uint8_t flags;
    uint8_t writer_fences;  // the writer's fence.proxy.async count when it wrote (mod 256)
    uint32_t read_clock;    // one reader: its clock; several: their list in reads_
    uint16_t reader;        // id + 1; 0: no read since the write; kSharedReads: a list
    uint16_t issuer;        // in flight: the issuing thread + 1
  };
  static constexpr uint16_t kSharedReads = 0xFFFF;
  struct Epoch {
    uint16_t id;
    uint32_t clock;
  };
  struct Entry {
    uint32_t stamp;
    uint32_t clock;
  };

  uint32_t known(int t, int u) const;
  bool ordered(uint16_t id_plus_one, uint32_t clock, int t) const {
    return id_plus_one - 1 == t || clock <= known(t, id_plus_one - 1);
  }
  void learn(int t, int u, uint32_t clock);
  void read_byte(int reader, uint32_t clock, int t, uint32_t address, const char* what);
  void check_write(int id, int t, uint32_t address, uint32_t bytes, const char* what);
  void mark_in_flight(int t, uint32_t address, uint32_t bytes);
  void record_write(int id, uint32_t clock, uint8_t flags, uint32_t address, uint32_t bytes, int fence_owner);
  [[noreturn]] void race(uint32_t address, const char* what, int t, bool write, uint16_t other, bool other_write);
  std::string describe(int id) const;
  Cell& cell(uint32_t address);

  dim3 block_{};
  int threads_ = 0, groups_ = 0, ids_ = 0;
  std::vector<Cell> cells_;
  std::vector<std::vector<Epoch>> reads_;
  std::vector<uint32_t> clock_;   // per id
  std::vector<uint32_t> base_;    // what every thread knows since the last __syncthreads
  std::vector<Entry> warp_;       // [warp][id]: what the lanes of a warp know since their last join
  std::vector<uint32_t> warp_stamp_;
  std::vector<Entry> own_;        // [thread][id]: what one thread knows beyond its warp
  std::vector<uint32_t> own_stamp_;
  std::vector<std::vector<int>> dirty_;  // per thread: ids learnt into own_ since its warp's last join
  std::vector<uint32_t> agent_max_;      // per agent: the largest clock any thread knows
  std::vector<std::vector<uint32_t>> pending_;    // per mbarrier agent: the arrivals of the open phase
  std::vector<std::vector<uint32_t>> completed_;  // per mbarrier agent: what its last phase carries
  std::vector<uint32_t> barrier_address_;
  std::vector<uint8_t> fences_;  // per thread
  uint32_t stamp_ = 0;
};

// Global memory: the tensors a launch can reach are the storages a caller declares for the
// call (every tensor argument) and the buffers the entry allocates. Declared ranges are
// checked only while a declaration is in force.
void declare_device_memory(const std::vector<std::pair<uintptr_t, size_t>>& ranges,
                           const std::vector<std::string>& names);
void clear_declared_device_memory();
void add_device_allocation(const void* base, size_t bytes);
void remove_device_allocation(const void* base);

// Per launch: bytes each block writes, so that a second block's write or read of them
// is found. `block` is the block's linear index.
void global_launch_begin(dim3 grid);
void global_launch_end();
void global_access(uint64_t block, const void* address, size_t bytes, bool write, const char* what);
// A range a bulk tensor copy may read: checked against the tensors of the launch.
void global_span(const void* address, size_t bytes, const char* what);

}  // namespace kestrovane_emu
