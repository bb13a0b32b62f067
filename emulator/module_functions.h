// Functions every emulated module adds beside its entries, for the test harness: a call's
// caller declares the device memory the call may reach (the storage of every tensor
// argument), so that the model can find global accesses outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "emulator/checks.h"

namespace kestrovane_emu {

template <class Module>
void define_model_functions(Module& m) {
  m.def("_emulator_declare_device_memory", [](const std::vector<std::tuple<uint64_t, uint64_t, std::string>>& ranges) {
    std::vector<std::pair<uintptr_t, size_t>> spans;
    std::vector<std::string> names;
    for (const auto& [begin, bytes, name] : ranges) {
      spans.emplace_back(static_cast<uintptr_t>(begin), static_cast<size_t>(bytes));
      names.push_back(name);
    }
    declare_device_memory(spans, names);
  });
  m.def("_emulator_clear_device_memory", [] { clear_declared_device_memory(); });
}

}  // namespace kestrovane_emu
