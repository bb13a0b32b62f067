// The model's one way of reporting a fault: an exception whose message starts with
// "emulator: ". A launch catches it on the fiber that raised it, unwinds the whole
// grid and rethrows it on the caller's thread, so it reaches Python as RuntimeError.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrovane_emu {

struct EmulatorError : std::runtime_error {
  explicit EmulatorError(const std::string& what) : std::runtime_error("emulator: " + what) {}
};

// Raises an EmulatorError with `what`; the launch adds the kernel, block and thread.
[[noreturn]] inline void fail(const std::string& what) { throw EmulatorError(what); }

}  // namespace kestrovane_emu
