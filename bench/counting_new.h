#pragma once
// A global operator new that counts every allocation of the process, on every thread. Linking
// counting_new.cc into a program replaces the standard operators for the whole program.

#include <cstdint>

namespace korvane {

// Allocations made through operator new (any form) since the program started.
uint64_t AllocationCount();

}  // namespace korvane
