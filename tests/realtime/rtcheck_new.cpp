// operator new and delete counted like malloc and free; they allocate through
// glibc directly so that one `new` counts once.
#include "rtcheck.h"

#include <cstddef>
#include <new>

extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_memalign(size_t, size_t);
void glimm_rtcheck_note_alloc(const char* name, void* caller);
}

namespace {

void* allocate(std::size_t n, const char* name, void* caller) {
  glimm_rtcheck_note_alloc(name, caller);
  if (void* p = __libc_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t n, std::align_val_t a, const char* name, void* caller) {
  glimm_rtcheck_note_alloc(name, caller);
  if (void* p = __libc_memalign(std::size_t(a), n ? n : 1)) return p;
  throw std::bad_alloc();
}

void release(void* p, const char* name, void* caller) {
  if (!p) return;
  glimm_rtcheck_note_alloc(name, caller);
  __libc_free(p);
}

}  // namespace

#define CALLER __builtin_return_address(0)
#define EXPORT __attribute__((visibility("default")))

EXPORT void* operator new(std::size_t n) { return allocate(n, "operator new", CALLER); }
EXPORT void* operator new[](std::size_t n) { return allocate(n, "operator new[]", CALLER); }
EXPORT void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  glimm_rtcheck_note_alloc("operator new", CALLER);
  return __libc_malloc(n ? n : 1);
}
EXPORT void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  glimm_rtcheck_note_alloc("operator new[]", CALLER);
  return __libc_malloc(n ? n : 1);
}
EXPORT void* operator new(std::size_t n, std::align_val_t a) { return allocateAligned(n, a, "operator new", CALLER); }
EXPORT void* operator new[](std::size_t n, std::align_val_t a) {
  return allocateAligned(n, a, "operator new[]", CALLER);
}
EXPORT void operator delete(void* p) noexcept { release(p, "operator delete", CALLER); }
EXPORT void operator delete[](void* p) noexcept { release(p, "operator delete[]", CALLER); }
EXPORT void operator delete(void* p, std::size_t) noexcept { release(p, "operator delete", CALLER); }
EXPORT void operator delete[](void* p, std::size_t) noexcept { release(p, "operator delete[]", CALLER); }
EXPORT void operator delete(void* p, std::align_val_t) noexcept { release(p, "operator delete", CALLER); }
EXPORT void operator delete[](void* p, std::align_val_t) noexcept { release(p, "operator delete[]", CALLER); }
EXPORT void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p, "operator delete", CALLER); }
EXPORT void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  release(p, "operator delete[]", CALLER);
}
