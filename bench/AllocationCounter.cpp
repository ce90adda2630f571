#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> gAllocations{0};
}

uint64_t AllocationCount() { return gAllocations.load(std::memory_order_relaxed); }

void* operator new(size_t ASize) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(ASize ? ASize : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t ASize) { return operator new(ASize); }
void operator delete(void* APointer) noexcept { std::free(APointer); }
void operator delete[](void* APointer) noexcept { std::free(APointer); }
void operator delete(void* APointer, size_t) noexcept { std::free(APointer); }
void operator delete[](void* APointer, size_t) noexcept { std::free(APointer); }
