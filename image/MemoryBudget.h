#pragma once
#include <cstdint>

// Running total of what one conversion's buffers will take, checked before each allocation so that
// a hostile file fails cleanly instead of driving the process out of memory.
class MemoryBudget {
public:
    // This machine's: three quarters of the memory the process can have.
    MemoryBudget();
    // A given limit (tests and fuzz targets pass small ones); name says what it is.
    explicit MemoryBudget(uint64_t limitBytes, const char* name = "the budget given") : limit_(limitBytes), name_(name) {}

    // Adds bytes to the total; false (and nothing added) when the total would pass the limit.
    bool reserve(uint64_t bytes);
    // Gives back bytes reserved before.
    void release(uint64_t bytes) { used_ -= bytes < used_ ? bytes : used_; }
    // Forgets every reservation.
    void releaseAll() { used_ = 0; }
    uint64_t used() const { return used_; }
    uint64_t limit() const { return limit_; }
    // Where the limit comes from, in words.
    const char* name() const { return name_; }

private:
    uint64_t limit_;
    const char* name_;
    uint64_t used_ = 0;
};
