// Replaces the global allocation functions with counting ones that can also fail the n-th call.
// Include it in exactly one source file of a test binary of its own; the counts are not atomic,
// so only one thread may allocate at a time.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

// Allocation bookkeeping of the replaced operators.
struct Allocations {
  long long live = 0;    // allocations not yet freed, counted always
  long long calls = 0;   // allocation calls since the counter was armed
  long long failAt = 0;  // the armed call that fails; 0 when disarmed
  long long failed = 0;  // failures injected so far
};
inline Allocations allocations;

inline void* Allocate(std::size_t size, std::size_t alignment = 0) {
  if (allocations.failAt != 0 && ++allocations.calls == allocations.failAt) {
    ++allocations.failed;
    throw std::bad_alloc();
  }
  if (size == 0) size = 1;
  void* memory = alignment == 0 ? std::malloc(size)
                                : std::aligned_alloc(
                                      alignment, (size + alignment - 1) / alignment * alignment);
  if (memory == nullptr) throw std::bad_alloc();
  ++allocations.live;
  return memory;
}

inline void Release(void* memory) noexcept {
  if (memory == nullptr) return;
  --allocations.live;
  std::free(memory);
}

// Fails the n-th allocation from now on (n >= 1).
inline void Arm(long long n) {
  allocations.calls = 0;
  allocations.failAt = n;
}

inline void Disarm() { allocations.failAt = 0; }

// The basic and array forms, and the sized deletes the compiler asks for alongside them (the
// array forms too: a sanitizer's runtime brings its own, which would bypass the counts). The
// other forms' default versions call these.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return Allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* memory) noexcept { Release(memory); }
void operator delete[](void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { Release(memory); }
