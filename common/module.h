// The module-definition pattern every deliverable repeats.
//
// KESTROVANE_MODULE(name, m) expands to pybind11's multi-phase definition: a
// PyInit_<name> that gates on the interpreter version the module was compiled
// for, a module definition with a create slot, an exec slot (pybind11_exec_<name>)
// and a declaration that sub-interpreters are not supported, and a module body
// that defines the functions once per interpreter. Functions are bound without
// argument names, so every argument is positional-only, and a C++ exception
// (c10::Error from TORCH_CHECK included) reaches Python as RuntimeError.
#pragma once

#include <torch/csrc/utils/pybind.h>  // pybind11 plus PyTorch's torch.Tensor caster

static_assert(PYBIND11_VERSION_MAJOR >= 3, "multi-phase module definition needs pybind11 3.0 or newer");

#if defined(KESTROVANE_EMULATED)
// An emulated twin adds the execution model's own functions (emulator/module_functions.h).
#include <pybind11/stl.h>

#include "emulator/module_functions.h"
#define KESTROVANE_MODULE(name, variable)                          \
  static void kestrovane_define_##name(pybind11::module_&);        \
  PYBIND11_MODULE(name, kestrovane_module) {                       \
    ::kestrovane_emu::define_model_functions(kestrovane_module);   \
    kestrovane_define_##name(kestrovane_module);                   \
  }                                                                \
  static void kestrovane_define_##name(pybind11::module_& variable)
#else
#define KESTROVANE_MODULE(name, variable) PYBIND11_MODULE(name, variable)
#endif
