#include "image/MemoryBudget.h"

// A quarter of the machine stays for the system, the program and the output's working buffers.
MemoryBudget::MemoryBudget() : limit_(physicalMemoryBytes() / 4 * 3) {}

bool MemoryBudget::reserve(uint64_t bytes) {
    if (bytes > limit_ || used_ > limit_ - bytes) return false;
    used_ += bytes;
    return true;
}
