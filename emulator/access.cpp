// The per-access callbacks that the compiler's thread-sanitizer instrumentation
// (-fsanitize=thread) inserts before every load and store of an emulated kernel unit, and
// the handler that its alignment instrumentation (-fsanitize=alignment) calls when a pointer
// is not aligned for the type it is dereferenced as. The first see the accesses as the
// compiler splits them (a uint4 assignment may become four 4-byte stores); the second sees
// each dereference with its type, so a misaligned uint4, float4, float2 or BF16-pair access is
// found even when the compiler splits it.
// The model defines them itself and links no sanitizer runtime: each one hands the access
// to the model's checks. Only kernel units are instrumented; the model and the entry
// units are not, and accesses outside a running kernel thread are ignored.
#include <cstddef>
#include <cstdint>

#include "emulator/threads.h"

#define KESTROVANE_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

KESTROVANE_HIDDEN void __tsan_init() {}

#define KESTROVANE_ACCESS(bytes)                                                                            \
  KESTROVANE_HIDDEN void __tsan_read##bytes(void* p) { kestrovane_emu::on_access(p, bytes, false); }        \
  KESTROVANE_HIDDEN void __tsan_write##bytes(void* p) { kestrovane_emu::on_access(p, bytes, true); }        \
  KESTROVANE_HIDDEN void __tsan_unaligned_read##bytes(void* p) { kestrovane_emu::on_access(p, bytes, false); } \
  KESTROVANE_HIDDEN void __tsan_unaligned_write##bytes(void* p) { kestrovane_emu::on_access(p, bytes, true); } \
  KESTROVANE_HIDDEN void __tsan_volatile_read##bytes(void* p) { kestrovane_emu::on_access(p, bytes, false); }  \
  KESTROVANE_HIDDEN void __tsan_volatile_write##bytes(void* p) { kestrovane_emu::on_access(p, bytes, true); }

KESTROVANE_ACCESS(1)
KESTROVANE_ACCESS(2)
KESTROVANE_ACCESS(4)
KESTROVANE_ACCESS(8)
KESTROVANE_ACCESS(16)

#undef KESTROVANE_ACCESS

// Accesses of a size the instrumentation does not split (aggregate copies).
KESTROVANE_HIDDEN void __tsan_read_range(void* p, size_t bytes) { kestrovane_emu::on_access(p, bytes, false); }
KESTROVANE_HIDDEN void __tsan_write_range(void* p, size_t bytes) { kestrovane_emu::on_access(p, bytes, true); }

// The acquire load of a function-local static's guard: not a kernel access, carried out as is.
KESTROVANE_HIDDEN unsigned char __tsan_atomic8_load(const volatile unsigned char* a, int) {
  return __atomic_load_n(a, __ATOMIC_ACQUIRE);
}

KESTROVANE_HIDDEN void __tsan_func_entry(void*) {}
KESTROVANE_HIDDEN void __tsan_func_exit() {}
KESTROVANE_HIDDEN void __tsan_vptr_update(void**, void*) {}
KESTROVANE_HIDDEN void __tsan_vptr_read(void**) {}

// What the alignment instrumentation hands over (the layout the compiler emits).
struct KestrovaneSourceLocation {
  const char* file;
  uint32_t line, column;
};
struct KestrovaneTypeDescriptor {
  uint16_t kind, info;
  char name[1];
};
struct KestrovaneTypeMismatch {
  KestrovaneSourceLocation location;
  const KestrovaneTypeDescriptor* type;
  unsigned char log_alignment;
  unsigned char check_kind;  // 0 load, 1 store, others a reference or member access
};

KESTROVANE_HIDDEN void __ubsan_handle_type_mismatch_v1(KestrovaneTypeMismatch* data, uintptr_t pointer) {
  const char* kind = data->check_kind == 0 ? "load" : data->check_kind == 1 ? "store" : "access";
  kestrovane_emu::on_misaligned(reinterpret_cast<const void*>(pointer), kind, data->type->name,
                                1u << data->log_alignment, data->location.file, data->location.line);
}

}  // extern "C"
