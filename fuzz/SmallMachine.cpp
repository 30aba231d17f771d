// Stands in for image/MemoryBudget.cpp in the fuzz build: the targets run as on a machine with
// 2 MiB of memory. Every allocation sized from a file must be covered by the budget, so with
// the fuzzer's 2 GiB malloc limit an allocation that escapes the budget is what gets reported,
// not a large canvas the budget rightly allows on a big machine; and a small budget keeps the
// largest documents a few bytes can claim quick to make.
#include "image/MemoryBudget.h"

MemoryBudget::MemoryBudget() : limit_(uint64_t{2} << 20) {}

bool MemoryBudget::reserve(uint64_t bytes) {
    if (bytes > limit_ || used_ > limit_ - bytes) return false;
    used_ += bytes;
    return true;
}
