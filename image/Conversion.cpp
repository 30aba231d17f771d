#include "image/Conversion.h"

#include <algorithm>

Conversion::Conversion() : Conversion(MemoryBudget()) {}

Conversion::Conversion(const MemoryBudget& budget)
    : budget_(budget), ownPool_(std::make_unique<ThreadPool>(1)), pool_(ownPool_.get()) {}

Conversion::Conversion(ThreadPool& pool, const MemoryBudget& budget) : budget_(budget), pool_(&pool) {}

Conversion::~Conversion() = default;

bool Conversion::reserve(uint64_t bytes, const std::string& what) {
    return budget_.reserve(bytes) || fail(overBudget(bytes, what));
}

std::string Conversion::overBudget(uint64_t bytes, const std::string& what) const {
    return what + " need " + std::to_string(bytes) + " bytes with " + std::to_string(budget_.used()) +
           " in use: past the memory budget of " + std::to_string(budget_.limit()) + " bytes (" + budget_.name() + ")";
}

size_t Conversion::heldAtOnce(uint64_t bytesEach, size_t count) const {
    size_t held = std::min(2 * pool_->size(), std::max<size_t>(2, (count + 3) / 4));
    if (bytesEach != 0) {
        const uint64_t room = (budget_.limit() - std::min(budget_.used(), budget_.limit())) / bytesEach;
        held = static_cast<size_t>(std::min<uint64_t>(held, room));
    }
    return std::max<size_t>(held, 1);
}

void Conversion::note(const std::string& text) {
    if (std::find(notes_.begin(), notes_.end(), text) == notes_.end()) notes_.push_back(text);
}

bool Conversion::fail(const std::string& reason) {
    if (reason_.empty()) reason_ = reason;
    return false;
}
