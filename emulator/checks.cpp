#include "emulator/checks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulator/error.h"

namespace kestrovane_emu {

namespace {

constexpr int kMaxBarriers = 64;  // mbarriers one block may use
constexpr uint8_t kGeneric = 1;   // written by the generic proxy (stores, cp.async)
constexpr uint8_t kInFlight = 2;  // an asynchronous copy will write it
constexpr uint8_t kSync = 4;      // an mbarrier object

std::string hex(uint64_t value) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(value));
  return b;
}

}  // namespace

bool checks_enabled() {
  const char* value = std::getenv("KESTROVANE_EMULATOR_CHECKS");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "on") == 0) return true;
  if (std::strcmp(value, "off") == 0) return false;
  fail(std::string("KESTROVANE_EMULATOR_CHECKS must be on or off, got ") + value);
}

// ------------------------------------------------------------------ shared memory

void SharedChecks::begin_block(dim3 block, uint32_t window_end) {
  block_ = block;
  threads_ = static_cast<int>(block.x * block.y * block.z);
  groups_ = (threads_ + 127) / 128;
  ids_ = threads_ + groups_ + kMaxBarriers;
  const int warps = (threads_ + 31) / 32;
  if (cells_.size() < window_end) cells_.resize(window_end);
  reads_.clear();
  clock_.assign(static_cast<size_t>(ids_), 0);
  for (int t = 0; t < threads_; ++t) clock_[static_cast<size_t>(t)] = 1;
  base_.assign(static_cast<size_t>(ids_), 0);
  // Entries of earlier blocks stay in place: a fresh stamp makes them stale.
  if (warp_.size() < static_cast<size_t>(warps) * ids_) warp_.resize(static_cast<size_t>(warps) * ids_);
  if (own_.size() < static_cast<size_t>(threads_) * ids_) own_.resize(static_cast<size_t>(threads_) * ids_);
  warp_stamp_.resize(static_cast<size_t>(warps));
  for (uint32_t& s : warp_stamp_) s = ++stamp_;
  own_stamp_.resize(static_cast<size_t>(threads_));
  for (uint32_t& s : own_stamp_) s = ++stamp_;
  dirty_.assign(static_cast<size_t>(threads_), {});
  agent_max_.assign(static_cast<size_t>(groups_ + kMaxBarriers), 0);
  pending_.clear();
  completed_.clear();
  barrier_address_.clear();
  fences_.assign(static_cast<size_t>(threads_), 0);
}

void SharedChecks::clear(uint32_t offset, uint32_t bytes) {
  if (cells_.size() < static_cast<size_t>(offset) + bytes) cells_.resize(static_cast<size_t>(offset) + bytes);
  std::memset(static_cast<void*>(cells_.data() + offset), 0, sizeof(Cell) * bytes);
}

SharedChecks::Cell& SharedChecks::cell(uint32_t address) {
  // Statics of called device functions join the window while the block runs.
  if (address >= cells_.size()) cells_.resize(static_cast<size_t>(address) + 1);
  return cells_[address];
}

uint32_t SharedChecks::known(int t, int u) const {
  uint32_t k = base_[static_cast<size_t>(u)];
  const size_t warp = static_cast<size_t>(t / 32);
  const Entry& w = warp_[warp * ids_ + u];
  if (w.stamp == warp_stamp_[warp] && w.clock > k) k = w.clock;
  const Entry& o = own_[static_cast<size_t>(t) * ids_ + u];
  if (o.stamp == own_stamp_[static_cast<size_t>(t)] && o.clock > k) k = o.clock;
  return k;
}

void SharedChecks::learn(int t, int u, uint32_t clock) {
  if (clock <= known(t, u)) return;
  own_[static_cast<size_t>(t) * ids_ + u] = {own_stamp_[static_cast<size_t>(t)], clock};
  dirty_[static_cast<size_t>(t)].push_back(u);
  if (u >= threads_) {
    uint32_t& m = agent_max_[static_cast<size_t>(u - threads_)];
    m = std::max(m, clock);
  }
}

void SharedChecks::sync_block() {
  for (int u = 0; u < threads_; ++u) base_[static_cast<size_t>(u)] = clock_[static_cast<size_t>(u)];
  for (size_t a = 0; a < agent_max_.size(); ++a) {
    base_[threads_ + a] = std::max(base_[threads_ + a], agent_max_[a]);
  }
  for (uint32_t& s : warp_stamp_) s = ++stamp_;
  for (uint32_t& s : own_stamp_) s = ++stamp_;
  for (auto& d : dirty_) d.clear();
  for (int u = 0; u < threads_; ++u) ++clock_[static_cast<size_t>(u)];
}

void SharedChecks::join(const int* threads, int count) {
  if (count <= 0) return;
  const int warp = threads[0] / 32;
  const int lanes = std::min(32, threads_ - warp * 32);
  if (count == lanes) {
    // The whole warp: everything any lane knows becomes the warp's.
    Entry* w = &warp_[static_cast<size_t>(warp) * ids_];
    const uint32_t stamp = warp_stamp_[static_cast<size_t>(warp)];
    auto raise = [&](int u, uint32_t clock) {
      Entry& e = w[u];
      if (e.stamp != stamp) e = {stamp, 0};
      e.clock = std::max(e.clock, clock);
    };
    for (int i = 0; i < count; ++i) {
      const int l = threads[i];
      const Entry* own = &own_[static_cast<size_t>(l) * ids_];
      for (int u : dirty_[static_cast<size_t>(l)]) {
        if (own[u].stamp == own_stamp_[static_cast<size_t>(l)]) raise(u, own[u].clock);
      }
      dirty_[static_cast<size_t>(l)].clear();
      raise(l, clock_[static_cast<size_t>(l)]);
    }
  } else {
    // Part of a warp: each lane learns what the others know beyond their warp.
    std::vector<std::pair<int, uint32_t>> shared;
    for (int i = 0; i < count; ++i) {
      const int q = threads[i];
      shared.emplace_back(q, clock_[static_cast<size_t>(q)]);
      for (int u : dirty_[static_cast<size_t>(q)]) shared.emplace_back(u, known(q, u));
    }
    for (int i = 0; i < count; ++i) {
      for (const auto& [u, clock] : shared) {
        if (u != threads[i]) learn(threads[i], u, clock);
      }
    }
  }
  for (int i = 0; i < count; ++i) ++clock_[static_cast<size_t>(threads[i])];
}

void SharedChecks::fence_proxy_async(int t) { ++fences_[static_cast<size_t>(t)]; }

int SharedChecks::mbarrier_agent(uint32_t barrier) {
  for (size_t k = 0; k < barrier_address_.size(); ++k) {
    if (barrier_address_[k] == barrier) return threads_ + groups_ + static_cast<int>(k);
  }
  if (barrier_address_.size() == kMaxBarriers) fail("more than 64 mbarriers in one block");
  barrier_address_.push_back(barrier);
  pending_.emplace_back(static_cast<size_t>(ids_), 0);
  completed_.emplace_back(static_cast<size_t>(ids_), 0);
  return threads_ + groups_ + static_cast<int>(barrier_address_.size() - 1);
}

void SharedChecks::mbarrier_arrive(int t, int agent) {
  std::vector<uint32_t>& p = pending_[static_cast<size_t>(agent - threads_ - groups_)];
  for (int u = 0; u < ids_; ++u) p[static_cast<size_t>(u)] = std::max(p[static_cast<size_t>(u)], known(t, u));
  p[static_cast<size_t>(t)] = std::max(p[static_cast<size_t>(t)], clock_[static_cast<size_t>(t)]);
  ++clock_[static_cast<size_t>(t)];
}

void SharedChecks::mbarrier_phase_complete(int agent, uint32_t completed_phases) {
  const size_t k = static_cast<size_t>(agent - threads_ - groups_);
  completed_[k] = pending_[k];
  completed_[k][static_cast<size_t>(agent)] = completed_phases;
  std::fill(pending_[k].begin(), pending_[k].end(), 0);
}

void SharedChecks::mbarrier_observe(int t, int agent) {
  const std::vector<uint32_t>& c = completed_[static_cast<size_t>(agent - threads_ - groups_)];
  for (int u = 0; u < ids_; ++u) {
    if (u != t && c[static_cast<size_t>(u)] != 0) learn(t, u, c[static_cast<size_t>(u)]);
  }
}

std::string SharedChecks::describe(int id) const {
  if (id < threads_) {
    const unsigned t = static_cast<unsigned>(id);
    return "thread (" + std::to_string(t % block_.x) + "," + std::to_string(t / block_.x % block_.y) + "," +
           std::to_string(t / (block_.x * block_.y)) + ")";
  }
  if (id < threads_ + groups_) return "a wgmma of warpgroup " + std::to_string(id - threads_);
  return "the bulk copies completing on the mbarrier at shared address " +
         hex(barrier_address_[static_cast<size_t>(id - threads_ - groups_)]);
}

void SharedChecks::race(uint32_t address, const char* what, int t, bool write, uint16_t other, bool other_write) {
  fail("shared-memory race on byte " + hex(address) + ": " + (write ? "a write" : "a read") + " (" + what +
       ") by " + describe(t) + " and an earlier " + (other_write ? "write" : "read") + " by " + describe(other - 1) +
       ", with no order between them");
}

// One byte read by `reader` (a thread, or a warpgroup's wgmma) at `clock`, ordered by what
// thread t knows.
void SharedChecks::read_byte(int reader, uint32_t clock, int t, uint32_t a, const char* what) {
  Cell& c = cell(a);
  if (c.flags & kSync) return;
  if (c.flags & kInFlight) {
    fail("read (" + std::string(what) + ") by " + describe(reader) + " of shared byte " + hex(a) +
         " before the asynchronous copy that " + describe(c.issuer - 1) + " issued into it has completed");
  }
  if (c.writer == 0) {
    fail("read of uninitialised shared memory: byte " + hex(a) + " (" + what + " by " + describe(reader) +
         ") was not written since the block started");
  }
  if (!ordered(c.writer, c.write_clock, t)) race(a, what, reader, false, c.writer, true);
  if (reader >= threads_ && (c.flags & kGeneric) && c.writer - 1 < threads_ &&
      fences_[c.writer - 1u] == c.writer_fences) {
    fail("shared byte " + hex(a) + " written by " + describe(c.writer - 1) + " through the generic proxy is "
         "read by " + describe(reader) + " without a fence.proxy.async by the writing thread between them");
  }
  // The reads kept are those not ordered before this one (a later write ordered after this
  // read is ordered after them too).
  if (c.reader == 0 ||
      (c.reader != kSharedReads && (c.reader - 1 == reader || ordered(c.reader, c.read_clock, t)))) {
    c.reader = static_cast<uint16_t>(reader + 1);
    c.read_clock = clock;
  } else if (c.reader != kSharedReads) {
    reads_.push_back({{static_cast<uint16_t>(c.reader - 1), c.read_clock}, {static_cast<uint16_t>(reader), clock}});
    c.reader = kSharedReads;
    c.read_clock = static_cast<uint32_t>(reads_.size() - 1);
  } else {
    std::vector<Epoch>& list = reads_[c.read_clock];
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Epoch& e) { return e.id == reader || ordered(e.id + 1, e.clock, t); }),
               list.end());
    list.push_back({static_cast<uint16_t>(reader), clock});
  }
}

void SharedChecks::read(int t, uint32_t address, uint32_t bytes, const char* what) {
  for (uint32_t a = address; a < address + bytes; ++a) read_byte(t, clock_[static_cast<size_t>(t)], t, a, what);
}

void SharedChecks::check_write(int id, int t, uint32_t address, uint32_t bytes, const char* what) {
  for (uint32_t a = address; a < address + bytes; ++a) {
    const Cell& c = cell(a);
    if (c.flags & kSync) continue;
    if (c.flags & kInFlight) {
      fail("write (" + std::string(what) + ") by " + describe(t) + " of shared byte " + hex(a) +
           " while the asynchronous copy that " + describe(c.issuer - 1) + " issued into it is in flight");
    }
    if (c.writer != 0 && c.writer - 1 != id && !ordered(c.writer, c.write_clock, t)) {
      race(a, what, t, true, c.writer, true);
    }
    if (c.reader == kSharedReads) {
      for (const Epoch& e : reads_[c.read_clock]) {
        if (e.id != id && !ordered(e.id + 1, e.clock, t)) race(a, what, t, true, e.id + 1, false);
      }
    } else if (c.reader != 0 && c.reader - 1 != id && !ordered(c.reader, c.read_clock, t)) {
      if (c.reader - 1 >= threads_ && c.reader - 1 < threads_ + groups_) {
        fail("shared byte " + hex(a) + " is overwritten (" + what + " by " + describe(t) + ") while a wgmma group "
             "of warpgroup " + std::to_string(c.reader - 1 - threads_) + " that reads it is outstanding (not "
             "retired by a wgmma.wait_group ordered before the write)");
      }
      race(a, what, t, true, c.reader, false);
    }
  }
}

void SharedChecks::record_write(int id, uint32_t clock, uint8_t flags, uint32_t address, uint32_t bytes,
                                int fence_owner) {
  const uint8_t fences = fence_owner >= 0 ? fences_[static_cast<size_t>(fence_owner)] : 0;
  for (uint32_t a = address; a < address + bytes; ++a) {
    Cell& c = cell(a);
    if (c.flags & kSync) continue;
    c.writer = static_cast<uint16_t>(id + 1);
    c.write_clock = clock;
    c.flags = flags;
    c.writer_fences = fences;
    c.reader = 0;
    c.issuer = 0;
  }
}

void SharedChecks::write(int t, uint32_t address, uint32_t bytes, const char* what) {
  check_write(t, t, address, bytes, what);
  record_write(t, clock_[static_cast<size_t>(t)], kGeneric, address, bytes, t);
}

void SharedChecks::mark_sync_object(uint32_t address, uint32_t bytes) {
  for (uint32_t a = address; a < address + bytes; ++a) {
    Cell& c = cell(a);
    c = Cell{};
    c.flags = kSync;
  }
}

void SharedChecks::copy_issue(int t, uint32_t address, uint32_t bytes) {
  check_write(t, t, address, bytes, "cp.async destination");
  mark_in_flight(t, address, bytes);
}

void SharedChecks::copy_complete(int t, uint32_t address, uint32_t bytes) {
  record_write(t, clock_[static_cast<size_t>(t)], kGeneric, address, bytes, t);
}

void SharedChecks::bulk_issue(int t, int agent, uint32_t address, uint32_t bytes) {
  check_write(agent, t, address, bytes, "bulk tensor copy destination");
  mark_in_flight(t, address, bytes);
}

void SharedChecks::mark_in_flight(int t, uint32_t address, uint32_t bytes) {
  for (uint32_t a = address; a < address + bytes; ++a) {
    Cell& c = cell(a);
    c.flags |= kInFlight;
    c.issuer = static_cast<uint16_t>(t + 1);
  }
}

void SharedChecks::bulk_deliver(int agent, uint32_t completed_phases, uint32_t address, uint32_t bytes) {
  record_write(agent, completed_phases, 0, address, bytes, -1);
}

void SharedChecks::wgmma_read(int t, int group, uint32_t sequence, uint32_t address, uint32_t bytes) {
  for (uint32_t a = address; a < address + bytes; ++a) read_byte(threads_ + group, sequence, t, a, "a wgmma operand");
}

void SharedChecks::wgmma_retire(int t, int group, uint32_t sequence) { learn(t, threads_ + group, sequence); }

// ------------------------------------------------------------------ global memory

namespace {

struct DeviceRange {
  uintptr_t begin, end;
  std::string name;
  uint32_t* writers = nullptr;  // per byte, this launch: the writing block's index + 1
};

struct GlobalState {
  std::vector<DeviceRange> declared;
  bool active = false;
  std::vector<DeviceRange> allocations;
  dim3 grid{};
};

GlobalState& global_state() {
  static GlobalState state;
  return state;
}

std::string block_name(uint64_t linear) {
  const dim3 g = global_state().grid;
  return "block (" + std::to_string(linear % g.x) + "," + std::to_string(linear / g.x % g.y) + "," +
         std::to_string(linear / (static_cast<uint64_t>(g.x) * g.y)) + ")";
}

DeviceRange* range_of(uintptr_t begin, uintptr_t end) {
  GlobalState& s = global_state();
  for (auto* list : {&s.allocations, &s.declared}) {
    for (DeviceRange& r : *list) {
      if (begin >= r.begin && end <= r.end) return &r;
    }
  }
  return nullptr;
}

[[noreturn]] void outside(uintptr_t begin, size_t bytes, const char* what) {
  GlobalState& s = global_state();
  const DeviceRange* nearest = nullptr;
  uint64_t distance = UINT64_MAX;
  for (auto* list : {&s.allocations, &s.declared}) {
    for (const DeviceRange& r : *list) {
      const uint64_t d = begin >= r.end ? begin - r.end : begin < r.begin ? r.begin - begin : 0;
      if (d < distance) {
        distance = d;
        nearest = &r;
      }
    }
  }
  std::string where = "no tensor is declared";
  if (nearest != nullptr) {
    where = "the nearest is " + nearest->name + " (" + std::to_string(nearest->end - nearest->begin) + " bytes), ";
    if (begin >= nearest->end) {
      where += std::to_string(begin - nearest->end) + " bytes past its end";
    } else if (begin < nearest->begin) {
      where += std::to_string(nearest->begin - begin) + " bytes before its start";
    } else {
      where += "at byte " + std::to_string(begin - nearest->begin) + " of it, running past its end";
    }
  }
  fail(std::string("global ") + what + " of " + std::to_string(bytes) + " bytes at " + hex(begin) +
       " lies outside every tensor of the launch: " + where);
}

}  // namespace

void declare_device_memory(const std::vector<std::pair<uintptr_t, size_t>>& ranges,
                           const std::vector<std::string>& names) {
  GlobalState& s = global_state();
  s.declared.clear();
  for (size_t i = 0; i < ranges.size(); ++i) {
    s.declared.push_back({ranges[i].first, ranges[i].first + ranges[i].second, i < names.size() ? names[i] : ""});
  }
  s.active = true;
}

void clear_declared_device_memory() {
  GlobalState& s = global_state();
  s.declared.clear();
  s.active = false;
}

void add_device_allocation(const void* base, size_t bytes) {
  const auto b = reinterpret_cast<uintptr_t>(base);
  global_state().allocations.push_back({b, b + bytes, "a buffer the entry allocated"});
}

void remove_device_allocation(const void* base) {
  auto& list = global_state().allocations;
  const auto b = reinterpret_cast<uintptr_t>(base);
  list.erase(std::remove_if(list.begin(), list.end(), [b](const DeviceRange& r) { return r.begin == b; }),
             list.end());
}

void global_launch_begin(dim3 grid) { global_state().grid = grid; }

void global_launch_end() {
  GlobalState& s = global_state();
  for (auto* list : {&s.allocations, &s.declared}) {
    for (DeviceRange& r : *list) {
      std::free(r.writers);
      r.writers = nullptr;
    }
  }
}

void global_access(uint64_t block, const void* address, size_t bytes, bool write, const char* what) {
  const auto begin = reinterpret_cast<uintptr_t>(address);
  DeviceRange* r = range_of(begin, begin + bytes);
  if (r == nullptr) {
    if (global_state().active) outside(begin, bytes, what);
    return;
  }
  const uint32_t me = static_cast<uint32_t>(block + 1);
  if (write && r->writers == nullptr) {
    r->writers = static_cast<uint32_t*>(std::calloc(r->end - r->begin, sizeof(uint32_t)));
    if (r->writers == nullptr) fail("no host memory to track the writes of a launch");
  }
  if (r->writers == nullptr) return;
  uint32_t* w = r->writers + (begin - r->begin);
  for (size_t i = 0; i < bytes; ++i) {
    if (w[i] != 0 && w[i] != me) {
      fail(std::string(write ? "two blocks write" : "a block reads what another block wrote in") +
           " one launch: global byte " + hex(begin + i) + " of " + r->name + " (" + what + " by this block), " +
           "written earlier by " + block_name(w[i] - 1));
    }
    if (write) w[i] = me;
  }
}

void global_span(const void* address, size_t bytes, const char* what) {
  const auto begin = reinterpret_cast<uintptr_t>(address);
  if (range_of(begin, begin + bytes) == nullptr && global_state().active) outside(begin, bytes, what);
}

}  // namespace kestrovane_emu
