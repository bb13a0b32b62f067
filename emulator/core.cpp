// The CPU execution model: fibers for CUDA threads, the block's shared window, warp and
// warpgroup rendezvous, the asynchronous copy and tensor-core state, and the launch.
//
// A block runs as one fiber per thread on the launching host thread. A fiber runs until it
// reaches a point where CUDA threads meet (a block barrier, a warp collective, a warpgroup
// instruction, a barrier wait that cannot yet succeed); the last participant to arrive
// carries out the collective for all of them and makes them runnable again. When no fiber
// can run and some are still alive, the block is deadlocked and the launch raises.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <sys/mman.h>
#include <setjmp.h>
#include <ucontext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "emulator/checks.h"
#include "emulator/error.h"
#include "emulator/launch.h"
#include "emulator/ptx.h"
#include "emulator/runtime_state.h"
#include "emulator/tensor_core.h"
#include "emulator/tensor_map.h"
#include "emulator/threads.h"

namespace kestrovane_emu {
namespace {

constexpr uint32_t kMaxDynamicWindow = 232448;  // 227 KB: the opt-in limit of one block
constexpr uint8_t kPoison = 0xFF;               // NaN in BF16 and FP32, in every lane of a word
constexpr size_t kStackBytes = 256 * 1024;

// ------------------------------------------------------------------ kernel symbols

// Names and static shared variables of the kernels of this shared object, from its own
// ELF symbol table: kernels of anonymous namespaces have no dynamic symbol.
struct Symbol {
  uintptr_t address;
  size_t size;
  std::string name;
};

struct SymbolTable {
  std::vector<Symbol> functions;  // sorted by address
  std::vector<Symbol> objects;    // sorted by address
};

SymbolTable read_symbols(const char* path, uintptr_t base) {
  SymbolTable table;
  std::ifstream file(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (image.size() < sizeof(Elf64_Ehdr)) return table;
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(image.data());
  const auto* sections = reinterpret_cast<const Elf64_Shdr*>(image.data() + header->e_shoff);
  for (int i = 0; i < header->e_shnum; ++i) {
    if (sections[i].sh_type != SHT_SYMTAB) continue;
    const auto* symbols = reinterpret_cast<const Elf64_Sym*>(image.data() + sections[i].sh_offset);
    const char* names = image.data() + sections[sections[i].sh_link].sh_offset;
    const size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
    for (size_t s = 0; s < count; ++s) {
      const int type = ELF64_ST_TYPE(symbols[s].st_info);
      if (symbols[s].st_value == 0 || (type != STT_FUNC && type != STT_OBJECT)) continue;
      Symbol symbol{base + symbols[s].st_value, symbols[s].st_size, names + symbols[s].st_name};
      (type == STT_FUNC ? table.functions : table.objects).push_back(std::move(symbol));
    }
  }
  auto by_address = [](const Symbol& a, const Symbol& b) { return a.address < b.address; };
  std::sort(table.functions.begin(), table.functions.end(), by_address);
  std::sort(table.objects.begin(), table.objects.end(), by_address);
  return table;
}

const SymbolTable& own_symbols() {
  static const SymbolTable table = [] {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&own_symbols), &info) == 0 || info.dli_fname == nullptr) {
      return SymbolTable{};
    }
    return read_symbols(info.dli_fname, reinterpret_cast<uintptr_t>(info.dli_fbase));
  }();
  return table;
}

std::string demangle(const std::string& mangled) {
  int status = 0;
  char* text = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) return mangled;
  std::string out(text);
  std::free(text);
  return out;
}

uint32_t align_up(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// A block-scope __shared__ variable (a static of the module in emulated builds) and where it
// sits in the shared window.
struct StaticShared {
  uint8_t* host;
  uint32_t size;
  uint32_t offset;
};

struct KernelInfo {
  std::string mangled;
  std::string name;  // demangled, as c++filt spells the kernel's symbol
  // The kernel's own statics lie first in the window, each on a 16-byte boundary, and the
  // dynamic region follows on a 1024-byte boundary. Statics of device functions that the
  // kernel calls are found when a thread first takes their shared address and are placed
  // past the largest dynamic region, so that every launch of the kernel sees one layout.
  std::vector<StaticShared> statics;
  uint32_t static_bytes = 0;    // all statics found so far
  uint32_t dynamic_offset = 0;  // window offset of the dynamic region
  uint32_t window_end = 0;      // end of the statics placed past the dynamic region
  int max_dynamic_smem = 48 * 1024;  // raised by cudaFuncSetAttribute

  void add_static(const Symbol& symbol, uint32_t offset) {
    statics.push_back({reinterpret_cast<uint8_t*>(symbol.address), static_cast<uint32_t>(symbol.size), offset});
    static_bytes = align_up(static_bytes, 16) + static_cast<uint32_t>(symbol.size);
  }
};

KernelInfo& kernel_info(const void* kernel) {
  static std::map<const void*, KernelInfo> kernels;
  auto found = kernels.find(kernel);
  if (found != kernels.end()) return found->second;
  KernelInfo info;
  const SymbolTable& table = own_symbols();
  for (const Symbol& f : table.functions) {
    if (f.address == reinterpret_cast<uintptr_t>(kernel)) {
      info.mangled = f.name;
      break;
    }
  }
  if (info.mangled.empty()) {
    std::ostringstream name;
    name << "kernel@" << kernel;
    info.name = name.str();
  } else {
    info.name = demangle(info.mangled);
    // Static locals of a function are mangled _ZZ<function encoding>E<name>.
    const std::string prefix = "_ZZ" + info.mangled.substr(2) + "E";
    for (const Symbol& o : table.objects) {
      if (o.name.compare(0, prefix.size(), prefix) == 0) info.add_static(o, align_up(info.static_bytes, 16));
    }
  }
  info.dynamic_offset = align_up(info.static_bytes, 1024);
  info.window_end = align_up(info.dynamic_offset + kMaxDynamicWindow, 1024);
  return kernels.emplace(kernel, std::move(info)).first->second;
}

// ------------------------------------------------------------------ block state

enum class Wait { none, block_barrier, warp, warpgroup, mbarrier };

struct CpAsyncCopy {
  uint8_t* dst;
  uint32_t dst_address;
  const void* src;
  uint32_t src_bytes;
};

struct PendingAccumulators {
  float* registers;
  std::vector<float> values;
  uint32_t sequence;  // the warpgroup's wgmma instruction that produced them
};

// The asynchronous operations of one thread, in commit groups: those issued since the last
// commit, then the committed groups, oldest first. A wait for at most N pending groups
// completes the older ones in order.
template <class Operation>
struct CommitGroups {
  std::vector<Operation> open;
  std::deque<std::vector<Operation>> committed;

  void commit() {
    committed.push_back(std::move(open));
    open.clear();
  }
  template <class Complete>
  void wait(int pending, Complete complete) {
    while (committed.size() > static_cast<size_t>(pending)) {
      for (const Operation& operation : committed.front()) complete(operation);
      committed.pop_front();
    }
  }
  // The newest operation, open or committed, for which `match` holds; null if none.
  template <class Match>
  const Operation* newest(Match match) const {
    for (auto o = open.rbegin(); o != open.rend(); ++o) {
      if (match(*o)) return &*o;
    }
    for (auto g = committed.rbegin(); g != committed.rend(); ++g) {
      for (auto o = g->rbegin(); o != g->rend(); ++o) {
        if (match(*o)) return &*o;
      }
    }
    return nullptr;
  }
};

struct Fiber {
  ucontext_t context;   // the fiber's start: its own stack and fiber_main
  jmp_buf resume;       // where it continues once started
  bool started = false;
  void* stack = nullptr;
  uint3 index{};
  int linear = 0;
  bool runnable = false;
  bool done = false;
  Wait wait = Wait::none;
  uint32_t wait_barrier = 0;
  CommitGroups<CpAsyncCopy> cp_async;
  CommitGroups<PendingAccumulators> wgmma;
  std::vector<uint32_t> initialised_barriers;  // mbarriers this thread initialised, not yet fenced
};

// One collective in progress in a warp (32 lanes) or a warpgroup (128 threads).
struct Rendezvous {
  unsigned existing = 0;  // warps: the lanes the block has in this warp
  unsigned live = 0;      // warps: those not yet exited
  int kind = -1;
  unsigned mask = 0;
  unsigned arrived = 0;  // warps: lane bits; warpgroups: a count
  int count = 0;
  const void* in[128];
  void* out[128];
  uint64_t arg[4];
};

enum CollectiveKind { kSyncWarp = 1, kShuffle, kLdmatrix, kMma, kWgmma };

struct PendingTileCopy {
  CUtensorMap map;
  int rank;
  int32_t coords[5];
  uint32_t dst;
};

struct MBarrier {
  int agent = 0;  // its identity in the ordering checks
  uint32_t expected = 0;
  uint32_t pending = 0;
  int64_t tx = 0;
  uint32_t phase = 0;  // completed phases
  bool fenced = false;
  std::vector<PendingTileCopy> copies;
};

alignas(1024) uint8_t g_dynamic_window[kMaxDynamicWindow];

struct GridRun {
  KernelInfo* kernel = nullptr;
  dim3 grid, block;
  uint32_t dynamic_bytes = 0;
  uint32_t dynamic_offset = 0;  // window offset of the dynamic region
  bool reverse = false;
  const std::function<void()>* body = nullptr;
  // the running block
  uint3 block_index{};
  std::vector<Fiber> fibers;
  int live = 0;
  int barrier_arrived = 0;
  std::vector<Rendezvous> warps;
  std::vector<Rendezvous> warpgroups;
  std::unordered_map<uint32_t, MBarrier> mbarriers;
  std::vector<uint32_t> wgmma_issued;  // per warpgroup: wgmma instructions so far
  bool checking = false;
  SharedChecks checks;
  uint64_t block_linear = 0;
  Fiber* current = nullptr;
  jmp_buf scheduler;
  std::string error;
  bool failed = false;
};

GridRun* g_run = nullptr;
std::mutex g_launch_mutex;

std::vector<void*>& stack_pool() {
  static std::vector<void*> stacks;
  return stacks;
}

void* stack_for(size_t index) {
  std::vector<void*>& stacks = stack_pool();
  while (stacks.size() <= index) {
    const size_t page = 4096;
    void* memory = mmap(nullptr, kStackBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    mprotect(memory, page, PROT_NONE);  // a guard page below the stack
    stacks.push_back(static_cast<uint8_t*>(memory) + page);
  }
  return stacks[index];
}

GridRun& run() {
  if (g_run == nullptr || g_run->current == nullptr) {
    fail("a device function was called outside a kernel launch");
  }
  return *g_run;
}

Fiber& self() { return *run().current; }

std::string format3(const uint3& v) {
  std::ostringstream s;
  s << "(" << v.x << "," << v.y << "," << v.z << ")";
  return s.str();
}

uint64_t g_switches = 0;  // fiber switches since the module was loaded

// The next runnable fiber after `from` in the schedule's order, cyclically; null if none.
Fiber* next_runnable(GridRun& r, int from) {
  const int n = static_cast<int>(r.fibers.size());
  for (int step = 1; step <= n; ++step) {
    const int i = r.reverse ? ((from - step) % n + n) % n : (from + step) % n;
    if (r.fibers[static_cast<size_t>(i)].runnable) return &r.fibers[static_cast<size_t>(i)];
  }
  return nullptr;
}

// Continues `to` where it left off, or starts it on its own stack. A fiber is started once
// through its ucontext; every later switch is a _setjmp/_longjmp pair, which keeps the signal
// mask out of the switch (glibc's swapcontext makes a system call for it each time).
[[noreturn]] void enter(Fiber& to) {
  if (!to.started) {
    to.started = true;
    setcontext(&to.context);
  }
  _longjmp(to.resume, 1);
}

// Leaves the running fiber for the next runnable one, or for the scheduler when none is
// (or the launch has failed); returns when the fiber runs again.
void transfer(GridRun& r, Fiber& f) {
  Fiber* next = r.failed ? nullptr : next_runnable(r, f.linear);
  if (next == &f) return;
  ++g_switches;
  if (_setjmp(f.resume) != 0) return;
  if (next != nullptr) {
    r.current = next;
    enter(*next);
  }
  _longjmp(r.scheduler, 1);
}

// Blocks the running fiber until another one wakes it.
void suspend(Wait wait) {
  GridRun& r = *g_run;
  Fiber& f = *r.current;
  f.wait = wait;
  f.runnable = false;
  transfer(r, f);
  if (r.failed) throw EmulatorError("launch abandoned");  // never resumed after a failure
}

void wake(Fiber& f) {
  f.wait = Wait::none;
  f.runnable = true;
}

// ------------------------------------------------------------------ rendezvous

int warp_of(const Fiber& f) { return f.linear / 32; }
int lane_of(const Fiber& f) { return f.linear % 32; }

const char* collective_name(int kind) {
  switch (kind) {
    case kSyncWarp: return "__syncwarp";
    case kShuffle: return "a warp shuffle";
    case kLdmatrix: return "ldmatrix";
    case kMma: return "mma.sync";
    case kWgmma: return "wgmma.mma_async";
  }
  return "a collective";
}

// Arrives at the warp's collective `kind` with `mask`; returns true on the lane that
// completes it (all lanes of the mask have arrived), which then carries it out and wakes
// the others. Other lanes return false after the collective has been carried out.
bool arrive_warp(int kind, unsigned mask, const void* in, void* out, const uint64_t* args = nullptr) {
  GridRun& r = run();
  Fiber& f = *r.current;
  const int warp = warp_of(f);
  const int lane = lane_of(f);
  Rendezvous& slot = r.warps[warp];
  if ((mask & (1u << lane)) == 0) {
    fail(std::string(collective_name(kind)) + " with a mask that leaves out the calling lane");
  }
  if ((mask & ~slot.existing) != 0) {
    fail(std::string(collective_name(kind)) + " names lanes that do not exist in the block");
  }
  if ((mask & ~slot.live) != 0) {
    fail(std::string(collective_name(kind)) + " names lanes that have exited");
  }
  if (slot.arrived == 0) {
    slot.kind = kind;
    slot.mask = mask;
    if (args != nullptr) std::copy(args, args + 4, slot.arg);
  } else if (slot.kind != kind || slot.mask != mask ||
             (args != nullptr && !std::equal(args, args + 4, slot.arg))) {
    fail(std::string(collective_name(kind)) + " (mask 0x" + [&] {
      char b[16];
      std::snprintf(b, sizeof b, "%08x", mask);
      return std::string(b);
    }() + ") meets " + collective_name(slot.kind) + " of other lanes of the warp: the lanes that reach a " +
         "collective do not match its mask");
  }
  slot.in[lane] = in;
  slot.out[lane] = out;
  slot.arrived |= 1u << lane;
  if (slot.arrived == slot.mask) return true;
  suspend(Wait::warp);
  return false;
}

void release_warp(int warp) {
  GridRun& r = *g_run;
  Rendezvous& slot = r.warps[warp];
  if (r.checking) {
    // A warp collective orders the lanes that take part in it.
    int lanes[32];
    int count = 0;
    for (int l = 0; l < 32; ++l) {
      if ((slot.arrived >> l) & 1u) lanes[count++] = warp * 32 + l;
    }
    r.checks.join(lanes, count);
  }
  for (int l = 0; l < 32; ++l) {
    if ((slot.arrived >> l) & 1u) {
      Fiber& f = r.fibers[static_cast<size_t>(warp) * 32 + l];
      if (&f != r.current) wake(f);
    }
  }
  slot.arrived = 0;
  slot.kind = -1;
}

// ------------------------------------------------------------------ shared window

struct WindowView final : SharedWindowView {
  const uint8_t* read(uint32_t address, uint32_t bytes, uint32_t align) const override {
    return shared_pointer(address, bytes, align);
  }
};

void reset_window(GridRun& r) {
  std::memset(g_dynamic_window, kPoison, r.dynamic_bytes);
  for (const StaticShared& s : r.kernel->statics) std::memset(s.host, kPoison, s.size);
}

// ------------------------------------------------------------------ scheduler

void fiber_main() {
  GridRun& r = *g_run;
  Fiber& f = *r.current;
  try {
    (*r.body)();
  } catch (const EmulatorError& e) {
    if (!r.failed) {
      r.failed = true;
      r.error = std::string(e.what()).substr(std::strlen("emulator: ")) + " (kernel " + r.kernel->name +
                ", block " + format3(r.block_index) + ", thread " + format3(f.index) + ")";
    }
  } catch (const std::exception& e) {
    if (!r.failed) {
      r.failed = true;
      r.error = std::string(e.what()) + " (kernel " + r.kernel->name + ", block " + format3(r.block_index) +
                ", thread " + format3(f.index) + ")";
    }
  }
  f.done = true;
  f.runnable = false;
  --r.live;
  r.warps[warp_of(f)].live &= ~(1u << lane_of(f));
  if (!r.failed) {
    // A lane that leaves while others of its warp wait in a collective naming it.
    Rendezvous& slot = r.warps[warp_of(f)];
    if (slot.arrived != 0 && (slot.mask >> lane_of(f)) & 1u) {
      r.failed = true;
      r.error = std::string(collective_name(slot.kind)) + " names a lane that exited before reaching it (kernel " +
                r.kernel->name + ", block " + format3(r.block_index) + ", thread " + format3(f.index) + ")";
    } else if (r.barrier_arrived > 0) {
      r.failed = true;
      r.error = "__syncthreads reached by part of the block after other threads exited (kernel " + r.kernel->name +
                ", block " + format3(r.block_index) + ", thread " + format3(f.index) + " exited)";
    }
  }
  transfer(r, f);
}

std::string describe_wait(const Fiber& f) {
  switch (f.wait) {
    case Wait::block_barrier: return "__syncthreads";
    case Wait::warp: return "a warp collective";
    case Wait::warpgroup: return "a warpgroup instruction";
    case Wait::mbarrier: {
      char b[64];
      std::snprintf(b, sizeof b, "the mbarrier at shared address 0x%x", f.wait_barrier);
      return b;
    }
    case Wait::none: break;
  }
  return "nothing";
}

void run_copies(uint32_t address, MBarrier& b);

void run_block(GridRun& r, uint3 block_index) {
  r.block_index = block_index;
  const int threads = static_cast<int>(r.block.x * r.block.y * r.block.z);
  r.fibers.assign(static_cast<size_t>(threads), Fiber{});
  r.warps.assign(static_cast<size_t>((threads + 31) / 32), Rendezvous{});
  r.warpgroups.assign(static_cast<size_t>((threads + 127) / 128), Rendezvous{});
  for (size_t w = 0; w < r.warps.size(); ++w) {
    const int lanes = std::min(32, threads - static_cast<int>(w) * 32);
    r.warps[w].existing = r.warps[w].live = lanes == 32 ? 0xFFFFFFFFu : (1u << lanes) - 1;
  }
  r.mbarriers.clear();
  r.wgmma_issued.assign(r.warpgroups.size(), 0);
  r.barrier_arrived = 0;
  r.live = threads;
  reset_window(r);
  if (r.checking) {
    uint32_t end = r.dynamic_offset + r.dynamic_bytes;
    for (const StaticShared& s : r.kernel->statics) end = std::max(end, s.offset + s.size);
    r.checks.begin_block(r.block, end);
    r.checks.clear(r.dynamic_offset, r.dynamic_bytes);
    for (const StaticShared& s : r.kernel->statics) r.checks.clear(s.offset, s.size);
  }
  for (int t = 0; t < threads; ++t) {
    Fiber& f = r.fibers[static_cast<size_t>(t)];
    f.linear = t;
    f.index = {static_cast<unsigned>(t) % r.block.x, static_cast<unsigned>(t) / r.block.x % r.block.y,
               static_cast<unsigned>(t) / (r.block.x * r.block.y)};
    f.stack = stack_for(static_cast<size_t>(t));
    getcontext(&f.context);
    f.context.uc_stack.ss_sp = f.stack;
    f.context.uc_stack.ss_size = kStackBytes;
    f.context.uc_link = nullptr;
    makecontext(&f.context, fiber_main, 0);
    f.runnable = true;
  }
  while (r.live > 0) {
    // The fibers hand over to each other; control comes back here once none can run.
    Fiber* first = next_runnable(r, r.reverse ? 0 : threads - 1);
    const bool ran = first != nullptr;
    if (ran) {
      r.current = first;
      ++g_switches;
      if (_setjmp(r.scheduler) == 0) enter(*first);
      r.current = nullptr;
      if (r.failed) return;
    }
    if (!ran && r.live > 0) {
      // Every live thread waits: the copy engine delivers what is still in flight.
      bool delivered = false;
      try {
        for (auto& [address, barrier] : r.mbarriers) {
          if (barrier.copies.empty()) continue;
          run_copies(address, barrier);
          delivered = true;
        }
      } catch (const EmulatorError& e) {
        r.failed = true;
        r.error = std::string(e.what()).substr(std::strlen("emulator: ")) + " (kernel " + r.kernel->name +
                  ", block " + format3(r.block_index) + ", copy engine)";
        return;
      }
      if (delivered) continue;
      for (const Fiber& f : r.fibers) {
        if (!f.done) {
          r.failed = true;
          r.error = "deadlock: every live thread of the block is waiting; thread " + format3(f.index) +
                    " waits at " + describe_wait(f) + " (kernel " + r.kernel->name + ", block " +
                    format3(r.block_index) + ")";
          return;
        }
      }
    }
  }
}

void append_launch_log(const GridRun& r) {
  const char* path = std::getenv("KESTROVANE_EMULATOR_LOG");
  if (path == nullptr || *path == '\0') return;
  if (FILE* log = std::fopen(path, "a")) {
    std::fprintf(log, "%s\tgrid=%u,%u,%u\tblock=%u,%u,%u\tsmem=%u\n", r.kernel->name.c_str(), r.grid.x, r.grid.y,
                 r.grid.z, r.block.x, r.block.y, r.block.z, r.dynamic_bytes);
    std::fclose(log);
  }
}

bool reverse_schedule() {
  const char* schedule = std::getenv("KESTROVANE_EMULATOR_SCHEDULE");
  if (schedule == nullptr || *schedule == '\0' || std::strcmp(schedule, "forward") == 0) return false;
  if (std::strcmp(schedule, "reverse") == 0) return true;
  fail(std::string("KESTROVANE_EMULATOR_SCHEDULE must be forward or reverse, got ") + schedule);
}

// With KESTROVANE_EMULATOR_EDGE_BLOCKS=<k>, a test that needs a grid too large to run whole
// (a swapped grid orientation needs more than 65535 rows on one axis) runs only the blocks
// whose every coordinate lies within k of either end of its axis. The blocks skipped write
// nothing, so such a test checks only what the edge blocks own. Zero (or unset) runs the grid.
unsigned edge_blocks() {
  const char* text = std::getenv("KESTROVANE_EMULATOR_EDGE_BLOCKS");
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  const unsigned long k = std::strtoul(text, &end, 10);
  if (*end != '\0' || k > 65535) fail(std::string("KESTROVANE_EMULATOR_EDGE_BLOCKS must be a count, got ") + text);
  return static_cast<unsigned>(k);
}

bool near_edge(unsigned coordinate, unsigned extent, unsigned k) {
  return k == 0 || coordinate < k || coordinate >= extent - std::min(k, extent);
}

}  // namespace

// ------------------------------------------------------------------ launch

void run_grid(const void* kernel, dim3 grid, dim3 block, size_t dynamic_smem, const std::function<void()>& body) {
  std::lock_guard<std::mutex> lock(g_launch_mutex);
  KernelInfo& info = kernel_info(kernel);
  const uint64_t threads = static_cast<uint64_t>(block.x) * block.y * block.z;
  if (block.x == 0 || block.y == 0 || block.z == 0 || block.x > 1024 || block.y > 1024 || block.z > 64 ||
      threads > 1024 || grid.x == 0 || grid.y == 0 || grid.z == 0 || grid.x > 0x7FFFFFFFu || grid.y > 65535 ||
      grid.z > 65535) {
    set_last_error(cudaErrorInvalidConfiguration);
    return;
  }
  if (dynamic_smem > static_cast<size_t>(info.max_dynamic_smem) ||
      dynamic_smem + info.static_bytes > kMaxDynamicWindow) {
    set_last_error(cudaErrorInvalidValue);
    return;
  }
  GridRun r;
  r.kernel = &info;
  r.grid = grid;
  r.block = block;
  r.dynamic_bytes = static_cast<uint32_t>(dynamic_smem);
  r.dynamic_offset = info.dynamic_offset;
  r.reverse = reverse_schedule();
  r.checking = checks_enabled();
  r.body = &body;
  append_launch_log(r);
  g_run = &r;
  global_launch_begin(grid);
  struct Reset {
    ~Reset() {
      g_run = nullptr;
      global_launch_end();
    }
  } reset;
  const uint64_t blocks = static_cast<uint64_t>(grid.x) * grid.y * grid.z;
  const uint64_t switches_before = g_switches;
  const auto started = std::chrono::steady_clock::now();
  const unsigned edge = edge_blocks();
  uint64_t blocks_run = 0;
  for (uint64_t i = 0; i < blocks; ++i) {
    const uint64_t b = r.reverse ? blocks - 1 - i : i;
    const uint3 index{static_cast<unsigned>(b % grid.x), static_cast<unsigned>(b / grid.x % grid.y),
                      static_cast<unsigned>(b / (static_cast<uint64_t>(grid.x) * grid.y))};
    if (!near_edge(index.x, grid.x, edge) || !near_edge(index.y, grid.y, edge) || !near_edge(index.z, grid.z, edge)) {
      continue;
    }
    ++blocks_run;
    r.block_linear = b;
    run_block(r, index);
    if (r.failed) throw EmulatorError(r.error);
  }
  // With KESTROVANE_EMULATOR_STATS=<path>, the cost of every launch on the model.
  const char* stats = std::getenv("KESTROVANE_EMULATOR_STATS");
  if (stats != nullptr && *stats != '\0') {
    if (FILE* file = std::fopen(stats, "a")) {
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      std::fprintf(file, "%s\tblocks=%llu\tthreads=%llu\tswitches=%llu\tseconds=%.6f\n", info.name.c_str(),
                   static_cast<unsigned long long>(blocks_run), static_cast<unsigned long long>(blocks_run * threads),
                   static_cast<unsigned long long>(g_switches - switches_before), seconds);
      std::fclose(file);
    }
  }
}

uint32_t kernel_static_shared_bytes(const void* kernel) { return kernel_info(kernel).static_bytes; }

void set_kernel_max_dynamic_smem(const void* kernel, int bytes) { kernel_info(kernel).max_dynamic_smem = bytes; }

int kernel_max_dynamic_smem(const void* kernel) { return kernel_info(kernel).max_dynamic_smem; }

// ------------------------------------------------------------------ built-ins

uint3 current_thread_index() { return self().index; }
uint3 current_block_index() { return run().block_index; }
dim3 current_block_dim() { return run().block; }
dim3 current_grid_dim() { return run().grid; }

void sync_block() {
  GridRun& r = run();
  if (r.live < static_cast<int>(r.fibers.size())) {
    fail("__syncthreads reached by part of the block after other threads exited");
  }
  if (++r.barrier_arrived == r.live) {
    r.barrier_arrived = 0;
    if (r.checking) r.checks.sync_block();
    for (Fiber& f : r.fibers) {
      if (f.wait == Wait::block_barrier) wake(f);
    }
    return;
  }
  suspend(Wait::block_barrier);
}

void sync_warp(unsigned mask) {
  if (arrive_warp(kSyncWarp, mask, nullptr, nullptr)) release_warp(warp_of(self()));
}

uint32_t shuffle(unsigned mask, uint32_t value, int mode, int operand, int width) {
  if (width <= 0 || width > 32 || (width & (width - 1)) != 0) fail("shuffle width must be a power of two up to 32");
  uint32_t result = 0;
  const uint64_t args[4] = {static_cast<uint64_t>(mode), static_cast<uint64_t>(operand),
                            static_cast<uint64_t>(width), 0};
  if (arrive_warp(kShuffle, mask, &value, &result, args)) {
    GridRun& r = *g_run;
    const int warp = warp_of(*r.current);
    Rendezvous& slot = r.warps[warp];
    for (int l = 0; l < 32; ++l) {
      if (((slot.mask >> l) & 1u) == 0) continue;
      // The CUDA programming guide's source lane of each shuffle form within its segment.
      const int segment = l / width * width;
      int source;
      switch (mode) {
        case kShuffleIndex: source = segment + (operand % width + width) % width; break;
        case kShuffleXor: source = l ^ operand; break;
        case kShuffleDown: source = l % width + operand < width ? l + operand : l; break;
        default: source = l % width - operand >= 0 ? l - operand : l; break;
      }
      if (mode == kShuffleXor && source / width != l / width) source = l;
      uint32_t value_out = 0xFFFFFFFFu;  // an inactive source lane gives an undefined value
      if (source >= 0 && source < 32 && ((slot.mask >> source) & 1u)) {
        value_out = *static_cast<const uint32_t*>(slot.in[source]);
      }
      *static_cast<uint32_t*>(slot.out[l]) = value_out;
    }
    release_warp(warp);
  }
  return result;
}

uint32_t shared_address(const void* pointer) {
  GridRun& r = run();
  KernelInfo& kernel = *r.kernel;
  const auto* p = static_cast<const uint8_t*>(pointer);
  if (p >= g_dynamic_window && p <= g_dynamic_window + kMaxDynamicWindow) {
    return r.dynamic_offset + static_cast<uint32_t>(p - g_dynamic_window);
  }
  for (const StaticShared& s : kernel.statics) {
    if (p >= s.host && p <= s.host + s.size) return s.offset + static_cast<uint32_t>(p - s.host);
  }
  // A static local (mangled _ZZ...) of a device function that the kernel calls.
  for (const Symbol& o : own_symbols().objects) {
    const auto* base = reinterpret_cast<const uint8_t*>(o.address);
    if (p < base || p >= base + o.size) continue;
    if (o.name.compare(0, 3, "_ZZ") != 0) break;
    const uint32_t offset = align_up(kernel.window_end, 16);
    kernel.add_static(o, offset);
    kernel.window_end = offset + static_cast<uint32_t>(o.size);
    if (kernel.static_bytes + r.dynamic_bytes > kMaxDynamicWindow) {
      fail("static and dynamic shared memory of the block exceed the 227 KB limit");
    }
    return offset + static_cast<uint32_t>(p - base);
  }
  fail("a generic address outside the block's shared window was converted to a shared address");
}

uint8_t* shared_pointer(uint32_t address, uint32_t bytes, uint32_t align) {
  GridRun& r = run();
  char what[160];
  if (align > 1 && address % align != 0) {
    std::snprintf(what, sizeof what, "shared address 0x%x is not %u-byte aligned for a %u-byte access", address,
                  align, bytes);
    fail(what);
  }
  const uint64_t end = static_cast<uint64_t>(address) + bytes;
  if (address >= r.dynamic_offset && end <= static_cast<uint64_t>(r.dynamic_offset) + r.dynamic_bytes) {
    return g_dynamic_window + (address - r.dynamic_offset);
  }
  for (const StaticShared& s : r.kernel->statics) {
    if (address >= s.offset && end <= static_cast<uint64_t>(s.offset) + s.size) return s.host + (address - s.offset);
  }
  std::snprintf(what, sizeof what, "shared access of %u bytes at 0x%x outside the block's shared window", bytes,
                address);
  fail(what);
}

namespace {

// Where this shared object lies in memory: its code, constants and statics.
struct Image {
  uintptr_t begin = UINTPTR_MAX, end = 0;
};

const Image& own_image() {
  static const Image image = [] {
    Image found;
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&own_image), &info) == 0) return found;
    struct Search {
      uintptr_t base;
      Image* image;
    } search{reinterpret_cast<uintptr_t>(info.dli_fbase), &found};
    dl_iterate_phdr(
        [](dl_phdr_info* object, size_t, void* data) {
          auto* s = static_cast<Search*>(data);
          if (object->dlpi_addr != s->base) return 0;
          for (int i = 0; i < object->dlpi_phnum; ++i) {
            const ElfW(Phdr)& segment = object->dlpi_phdr[i];
            if (segment.p_type != PT_LOAD) continue;
            s->image->begin = std::min<uintptr_t>(s->image->begin, object->dlpi_addr + segment.p_vaddr);
            s->image->end = std::max<uintptr_t>(s->image->end, object->dlpi_addr + segment.p_vaddr + segment.p_memsz);
          }
          return 1;
        },
        &search);
    return found;
  }();
  return image;
}

// The stack of the host thread that launches (the kernel's parameters are packed there).
struct Range {
  uintptr_t begin = 0, end = 0;
};

const Range& launcher_stack() {
  thread_local const Range stack = [] {
    Range found;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      void* base = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
        found.begin = reinterpret_cast<uintptr_t>(base);
        found.end = found.begin + size;
      }
      pthread_attr_destroy(&attributes);
    }
    return found;
  }();
  return stack;
}

// A fault found inside an access of the kernel's own code: the fiber stops where it is
// (nothing of the kernel runs past the faulting access) and the launch fails with it.
[[noreturn]] void abandon(GridRun& r, const EmulatorError& e) {
  if (!r.failed) {
    r.failed = true;
    r.error = std::string(e.what()).substr(std::strlen("emulator: ")) + " (kernel " + r.kernel->name + ", block " +
              format3(r.block_index) + ", thread " + format3(r.current->index) + ")";
  }
  _longjmp(r.scheduler, 1);
}

const char* access_name(size_t bytes, bool write) {
  static const char* names[2][5] = {{"a 1-byte load", "a 2-byte load", "a 4-byte load", "an 8-byte load",
                                     "a 16-byte load"},
                                    {"a 1-byte store", "a 2-byte store", "a 4-byte store", "an 8-byte store",
                                     "a 16-byte store"}};
  const int i = bytes == 1 ? 0 : bytes == 2 ? 1 : bytes == 4 ? 2 : bytes == 8 ? 3 : bytes == 16 ? 4 : -1;
  return i < 0 ? (write ? "a store" : "a load") : names[write][i];
}

}  // namespace

void on_access(const void* address, size_t bytes, bool write) {
  GridRun* run_now = g_run;
  if (run_now == nullptr || run_now->current == nullptr || !run_now->checking) return;
  GridRun& r = *run_now;
  const auto a = reinterpret_cast<uintptr_t>(address);
  if (a - reinterpret_cast<uintptr_t>(r.current->stack) < kStackBytes) return;  // the thread's own stack
  try {
    const auto* p = static_cast<const uint8_t*>(address);
    bool shared = p >= g_dynamic_window && p < g_dynamic_window + kMaxDynamicWindow;
    if (!shared) {
      for (const StaticShared& s : r.kernel->statics) {
        if (p >= s.host && p < s.host + s.size) shared = true;
      }
    }
    const Image& image = own_image();
    if (!shared && a >= image.begin && a < image.end) {
      // A static of a called device function is shared memory; the rest of the image is not.
      const auto& objects = own_symbols().objects;
      auto after = std::upper_bound(objects.begin(), objects.end(), a,
                                    [](uintptr_t v, const Symbol& o) { return v < o.address; });
      if (after == objects.begin()) return;
      const Symbol& o = *(after - 1);
      if (a >= o.address + o.size || o.name.compare(0, 3, "_ZZ") != 0) return;
      shared = true;
    }
    const char* what = access_name(bytes, write);
    if (bytes > 1 && (bytes & (bytes - 1)) == 0 && a % bytes != 0) {
      char text[160];
      std::snprintf(text, sizeof text, "%s %s at %p is not aligned to its width", shared ? "shared" : "global",
                    what, address);
      fail(text);
    }
    if (shared) {
      const uint32_t offset = shared_address(address);
      shared_pointer(offset, static_cast<uint32_t>(bytes), 1);
      if (write) {
        r.checks.write(r.current->linear, offset, static_cast<uint32_t>(bytes), what);
      } else {
        r.checks.read(r.current->linear, offset, static_cast<uint32_t>(bytes), what);
      }
      return;
    }
    const Range& host = launcher_stack();
    if (a >= host.begin && a < host.end) return;
    global_access(r.block_linear, address, bytes, write, what);
  } catch (const EmulatorError& e) {
    abandon(r, e);
  }
}

void on_misaligned(const void* address, const char* kind, const char* type, unsigned alignment, const char* file,
                   unsigned line) {
  GridRun* run_now = g_run;
  if (run_now == nullptr || run_now->current == nullptr || !run_now->checking) return;
  const auto* p = static_cast<const uint8_t*>(address);
  const char* space = p >= g_dynamic_window && p < g_dynamic_window + kMaxDynamicWindow ? "shared " : "";
  char text[512];
  if (address == nullptr) {
    std::snprintf(text, sizeof text, "%s through a null pointer of type %s (%s:%u)", kind, type, file, line);
  } else {
    std::snprintf(text, sizeof text, "%s%s of type %s at %p is not aligned to its %u bytes (%s:%u)", space, kind,
                  type, address, alignment, file, line);
  }
  abandon(*run_now, EmulatorError(text));
}

void check_global_alignment(const void* address, size_t bytes) {
  if (reinterpret_cast<uintptr_t>(address) % bytes != 0) {
    char what[128];
    std::snprintf(what, sizeof what, "global access of %zu bytes at %p is misaligned", bytes, address);
    fail(what);
  }
}

unsigned char* dynamic_shared_memory() {
  run();
  return g_dynamic_window;
}

// ------------------------------------------------------------------ cp.async

void cp_async_16(uint32_t smem_dst, const void* global_src, uint32_t src_bytes) {
  if (src_bytes > 16) fail("cp.async src-size above the copy size of 16 bytes");
  uint8_t* dst = shared_pointer(smem_dst, 16, 16);
  if (src_bytes > 0) check_global_alignment(global_src, 16);
  GridRun& r = run();
  if (r.checking) {
    r.checks.copy_issue(self().linear, smem_dst, 16);
    if (src_bytes > 0) global_access(r.block_linear, global_src, src_bytes, false, "cp.async source read");
  }
  // The destination is undefined until the group that holds the copy completes.
  std::memset(dst, kPoison, 16);
  self().cp_async.open.push_back({dst, smem_dst, global_src, src_bytes});
}

void cp_async_commit() { self().cp_async.commit(); }

void cp_async_wait(int pending) {
  GridRun& r = run();
  const int t = self().linear;
  self().cp_async.wait(pending, [&r, t](const CpAsyncCopy& c) {
    std::memcpy(c.dst, c.src, c.src_bytes);
    std::memset(c.dst + c.src_bytes, 0, 16 - c.src_bytes);
    if (r.checking) r.checks.copy_complete(t, c.dst_address, 16);
  });
}

// ------------------------------------------------------------------ ldmatrix / mma.sync

void ldmatrix(int count, bool trans, uint32_t smem_row, uint32_t* out) {
  if (arrive_warp(kLdmatrix, 0xFFFFFFFFu, &smem_row, out, nullptr)) {
    GridRun& r = *g_run;
    const int warp = warp_of(*r.current);
    Rendezvous& slot = r.warps[warp];
    uint32_t rows[32];
    uint32_t result[32][4] = {};
    for (int l = 0; l < 32; ++l) rows[l] = *static_cast<const uint32_t*>(slot.in[l]);
    if (r.checking) {
      for (int l = 0; l < 8 * count; ++l) {
        shared_pointer(rows[l], 16, 16);
        r.checks.read(warp * 32 + l, rows[l], 16, "an ldmatrix row");
      }
    }
    WindowView window;
    kestrovane_emu::ldmatrix(count, trans, rows, window, result);
    for (int l = 0; l < 32; ++l) std::memcpy(slot.out[l], result[l], sizeof(uint32_t) * count);
    release_warp(warp);
  }
}

struct MmaOperands {
  const float* d;
  const uint32_t* a;
  const uint32_t* b;
};

void mma_m16n8k16(float* d, const uint32_t* a, const uint32_t* b) {
  const MmaOperands operands{d, a, b};
  if (arrive_warp(kMma, 0xFFFFFFFFu, &operands, d, nullptr)) {
    GridRun& r = *g_run;
    const int warp = warp_of(*r.current);
    Rendezvous& slot = r.warps[warp];
    uint32_t fa[32][4], fb[32][2];
    float fc[32][4], fd[32][4];
    for (int l = 0; l < 32; ++l) {
      const auto* o = static_cast<const MmaOperands*>(slot.in[l]);
      std::memcpy(fa[l], o->a, sizeof fa[l]);
      std::memcpy(fb[l], o->b, sizeof fb[l]);
      std::memcpy(fc[l], o->d, sizeof fc[l]);
    }
    mma_m16n8k16_bf16(fa, fb, fc, fd);
    for (int l = 0; l < 32; ++l) std::memcpy(slot.out[l], fd[l], sizeof fd[l]);
    release_warp(warp);
  }
}

// ------------------------------------------------------------------ mbarrier and TMA

namespace {

MBarrier& barrier_at(uint32_t address) {
  shared_pointer(address, 8, 8);
  GridRun& r = *g_run;
  auto found = r.mbarriers.find(address);
  if (found == r.mbarriers.end()) {
    char what[96];
    std::snprintf(what, sizeof what, "mbarrier at shared address 0x%x used before mbarrier.init", address);
    fail(what);
  }
  return found->second;
}

void complete_phase_if_done(uint32_t address, MBarrier& b) {
  if (b.pending != 0 || b.tx != 0) return;
  ++b.phase;
  b.pending = b.expected;
  if (g_run->checking) g_run->checks.mbarrier_phase_complete(b.agent, b.phase);
  for (Fiber& f : g_run->fibers) {
    if (f.wait == Wait::mbarrier && f.wait_barrier == address) wake(f);
  }
}

// The copy engine: carries out the bulk copies that complete on barrier `address`.
void run_copies(uint32_t address, MBarrier& b) {
  while (!b.copies.empty()) {
    const PendingTileCopy c = b.copies.front();
    b.copies.erase(b.copies.begin());
    const uint32_t bytes = tensor_map_box_bytes(c.map);
    uint8_t* dst = shared_pointer(c.dst, bytes, 128);
    tensor_map_tile_load(c.map, c.rank, c.coords, dst, c.dst);
    if (g_run->checking) g_run->checks.bulk_deliver(b.agent, b.phase + 1, c.dst, bytes);
    b.tx -= bytes;
    if (b.tx < 0) {
      char what[128];
      std::snprintf(what, sizeof what, "mbarrier at 0x%x: transaction count below zero (a copy of %u bytes "
                                       "completed more than was expected)", address, bytes);
      fail(what);
    }
    complete_phase_if_done(address, b);
  }
}

}  // namespace

void mbarrier_init(uint32_t barrier, uint32_t count) {
  uint8_t* word = shared_pointer(barrier, 8, 8);
  if (count == 0 || count > (1u << 20) - 1) fail("mbarrier.init count outside 1 .. 2^20 - 1");
  std::memset(word, 0, 8);
  GridRun& r = run();
  MBarrier& b = r.mbarriers[barrier];
  b = MBarrier{};
  if (r.checking) {
    r.checks.mark_sync_object(barrier, 8);
    b.agent = r.checks.mbarrier_agent(barrier);
  }
  b.expected = count;
  b.pending = count;
  self().initialised_barriers.push_back(barrier);
}

void fence_mbarrier_init() {
  Fiber& f = self();
  for (uint32_t address : f.initialised_barriers) {
    auto found = run().mbarriers.find(address);
    if (found != run().mbarriers.end()) found->second.fenced = true;
  }
  f.initialised_barriers.clear();
}

void mbarrier_arrive_expect_tx(uint32_t barrier, uint32_t bytes) {
  MBarrier& b = barrier_at(barrier);
  b.tx += bytes;
  if (b.pending == 0) fail("mbarrier arrival beyond the expected count of the phase");
  if (g_run->checking) g_run->checks.mbarrier_arrive(self().linear, b.agent);
  --b.pending;
  complete_phase_if_done(barrier, b);
}

bool mbarrier_try_wait_parity(uint32_t barrier, uint32_t parity) {
  MBarrier& b = barrier_at(barrier);
  // The phase of parity `parity` has completed once the current phase's parity differs.
  auto complete = [&] {
    if ((b.phase & 1u) == (parity & 1u)) return false;
    // The wait sees the phase: what was ordered before its completion is ordered before us.
    if (g_run->checking) g_run->checks.mbarrier_observe(self().linear, b.agent);
    return true;
  };
  if (complete()) return true;
  run_copies(barrier, b);
  if (complete()) return true;
  Fiber& f = self();
  f.wait_barrier = barrier;
  suspend(Wait::mbarrier);
  return complete();
}

void tma_load(int rank, uint32_t smem_dst, const void* tensor_map, uint32_t barrier, const int32_t* coords) {
  MBarrier& b = barrier_at(barrier);
  if (!b.fenced) fail("a bulk copy completes on an mbarrier whose initialisation was not fenced");
  PendingTileCopy c{};
  std::memcpy(&c.map, tensor_map, sizeof(CUtensorMap));
  if (tensor_map_rank(c.map) == 0) fail("bulk tensor copy through a tensor map that was never encoded");
  c.rank = rank;
  std::copy(coords, coords + rank, c.coords);
  c.dst = smem_dst;
  const uint32_t bytes = tensor_map_box_bytes(c.map);
  // Undefined until the barrier's phase completes.
  std::memset(shared_pointer(smem_dst, bytes, 128), kPoison, bytes);
  GridRun& r = *g_run;
  if (r.checking) {
    r.checks.bulk_issue(self().linear, b.agent, smem_dst, bytes);
    const void* span = nullptr;
    const size_t span_bytes = tensor_map_global_span(c.map, &span);
    global_span(span, span_bytes, "tensor read by a bulk tensor copy");
  }
  b.copies.push_back(c);
}

void fence_proxy_async_shared() {
  GridRun& r = run();
  if (r.checking) r.checks.fence_proxy_async(self().linear);
}

// ------------------------------------------------------------------ wgmma

void wgmma_fence() { run(); }

void wgmma_commit_group() { self().wgmma.commit(); }

void wgmma_wait_group(int pending) {
  GridRun& r = run();
  const int t = self().linear;
  self().wgmma.wait(pending, [&r, t](const PendingAccumulators& p) {
    std::copy(p.values.begin(), p.values.end(), p.registers);
    // The group's operand reads are over for this thread.
    if (r.checking) r.checks.wgmma_retire(t, t / 128, p.sequence);
  });
}

namespace {

struct WgmmaOperands {
  float* d;
  const uint32_t* a;
};

// The accumulator input of a wgmma: an earlier wgmma of the thread still in flight on the
// same registers hands its result on (the hardware chains them); otherwise the registers.
void accumulator_input(const Fiber& f, const float* registers, int count, float* out) {
  const PendingAccumulators* pending =
      f.wgmma.newest([registers](const PendingAccumulators& p) { return p.registers == registers; });
  if (pending != nullptr) {
    std::copy(pending->values.begin(), pending->values.end(), out);
  } else {
    std::copy(registers, registers + count, out);
  }
}

}  // namespace

void wgmma(int n, float* d, const uint32_t* a_regs, uint64_t a_desc, uint64_t b_desc, bool accumulate) {
  GridRun& r = run();
  Fiber& f = *r.current;
  const int group = f.linear / 128;
  if (static_cast<size_t>(group + 1) * 128 > r.fibers.size()) fail("wgmma in a block without a whole warpgroup");
  Rendezvous& slot = r.warpgroups[group];
  const uint64_t args[4] = {static_cast<uint64_t>(n), a_regs == nullptr ? a_desc : 0, b_desc,
                            (accumulate ? 1u : 0u) | (a_regs == nullptr ? 2u : 0u)};
  const WgmmaOperands operands{d, a_regs};
  if (slot.count == 0) {
    slot.kind = kWgmma;
    std::copy(args, args + 4, slot.arg);
  } else if (!std::equal(args, args + 4, slot.arg)) {
    fail("wgmma.mma_async operands differ across the warpgroup");
  }
  slot.in[f.linear % 128] = &operands;
  if (++slot.count < 128) {
    suspend(Wait::warpgroup);
    return;
  }
  const int per_thread = n / 2;
  std::vector<uint32_t> a(128 * 4);
  std::vector<float> c(128 * static_cast<size_t>(per_thread)), out(c.size());
  for (int t = 0; t < 128; ++t) {
    const auto* o = static_cast<const WgmmaOperands*>(slot.in[t]);
    if (a_regs != nullptr) std::copy(o->a, o->a + 4, a.begin() + 4 * t);
    accumulator_input(r.fibers[static_cast<size_t>(group) * 128 + t], o->d, per_thread, &c[per_thread * t]);
  }
  const uint32_t sequence = ++r.wgmma_issued[static_cast<size_t>(group)];
  // The operand reads of shared memory, checked with what the warpgroup's first thread knows.
  struct OperandView final : SharedWindowView {
    GridRun& run;
    int group;
    uint32_t sequence;
    OperandView(GridRun& r, int g, uint32_t s) : run(r), group(g), sequence(s) {}
    const uint8_t* read(uint32_t address, uint32_t bytes, uint32_t align) const override {
      const uint8_t* p = shared_pointer(address, bytes, align);
      if (run.checking) run.checks.wgmma_read(group * 128, group, sequence, address, bytes);
      return p;
    }
  } window(r, group, sequence);
  wgmma_m64nNk16_bf16(n, a_regs != nullptr ? reinterpret_cast<const uint32_t(*)[4]>(a.data()) : nullptr, a_desc,
                      b_desc, accumulate, c.data(), out.data(), window);
  for (int t = 0; t < 128; ++t) {
    Fiber& member = r.fibers[static_cast<size_t>(group) * 128 + t];
    float* registers = static_cast<const WgmmaOperands*>(slot.in[t])->d;
    member.wgmma.open.push_back({registers, std::vector<float>(out.begin() + per_thread * t,
                                                            out.begin() + per_thread * (t + 1)), sequence});
    // The accumulators are undefined until the group retires.
    std::fill(registers, registers + per_thread, __builtin_nanf(""));
    if (&member != &f) wake(member);
  }
  slot.count = 0;
  slot.kind = -1;
}

}  // namespace kestrovane_emu
