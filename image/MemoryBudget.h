#pragma once
#include <cstdint>

#include "image/Platform.h"

// Running total of what one document's buffers will take, checked before each allocation so that
// a hostile file fails cleanly instead of driving the process out of memory.
class MemoryBudget {
public:
    // Three quarters of the physical memory.
    MemoryBudget();
    explicit MemoryBudget(uint64_t limitBytes) : limit_(limitBytes) {}

    // Adds bytes to the total; false (and nothing added) when the total would pass the limit.
    bool reserve(uint64_t bytes);
    uint64_t used() const { return used_; }
    uint64_t limit() const { return limit_; }

private:
    uint64_t limit_;
    uint64_t used_ = 0;
};
