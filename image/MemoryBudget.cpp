#include "image/MemoryBudget.h"

#include "image/Platform.h"

// The one memory policy: a quarter of the machine stays for the system, the program and the
// output's working buffers.
MemoryBudget::MemoryBudget()
    : limit_(physicalMemoryBytes() / 4 * 3), name_("three quarters of this machine's memory") {}

bool MemoryBudget::reserve(uint64_t bytes) {
    if (bytes > limit_ || used_ > limit_ - bytes) return false;
    used_ += bytes;
    return true;
}
