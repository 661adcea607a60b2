#include "testsupport/AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// The replacement allocates with malloc, so free is the matching release; the compiler cannot
// see that pairing through the replacement.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<std::uint64_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace nuv::test {

std::uint64_t allocationCount() {
  return allocations.load(std::memory_order_relaxed);
}

}  // namespace nuv::test
