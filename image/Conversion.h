#pragma once
// What the readers, the canvas and the writers of one conversion share: the memory it may take and,
// once something fails, a short English reason recorded where it happened.
#include <cstdint>
#include <string>

#include "image/MemoryBudget.h"

class Conversion {
public:
    Conversion() = default;  // this machine's budget
    explicit Conversion(const MemoryBudget& budget) : budget_(budget) {}

    MemoryBudget& budget() { return budget_; }
    // Reserves bytes for what; when they do not fit, records a reason naming the limit and returns false.
    bool reserve(uint64_t bytes, const char* what);
    // Records why the conversion fails (the first reason recorded stays) and returns false.
    bool fail(const std::string& reason);
    const std::string& reason() const { return reason_; }

private:
    MemoryBudget budget_;
    std::string reason_;
};
