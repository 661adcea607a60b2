// Counts heap allocations through operator new, for the checks and benchmarks that show no
// report allocates. Linking nuv_alloc_counter replaces the program's operator new and delete;
// only test and benchmark programs link it.
#pragma once

#include <cstdint>

namespace nuv::test {

// operator new calls so far, on every thread. Take two readings and subtract.
[[nodiscard]] std::uint64_t allocationCount();

}  // namespace nuv::test
