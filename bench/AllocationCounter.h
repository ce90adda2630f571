// Counts every heap allocation of the process (operator new is replaced),
// so a benchmark can report allocations per operation.
#pragma once

#include <cstdint>

uint64_t AllocationCount();
