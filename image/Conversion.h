#pragma once
// What the readers, the canvas and the writers of one conversion share: the memory it may take, the
// threads it may use and, once something fails, a short English reason recorded where it happened.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "image/MemoryBudget.h"
#include "image/ThreadPool.h"

class Conversion {
public:
    // This machine's budget and one thread: for tools and tests that convert one thing.
    Conversion();
    explicit Conversion(const MemoryBudget& budget);
    // The pool must outlive the conversion.
    Conversion(ThreadPool& pool, const MemoryBudget& budget);
    ~Conversion();

    MemoryBudget& budget() { return budget_; }
    ThreadPool& pool() { return *pool_; }
    // Reserves bytes for what; when they do not fit, records a reason naming the limit and returns false.
    bool reserve(uint64_t bytes, const std::string& what);
    // The reason reserve gives when bytes for what do not fit, without recording it.
    std::string overBudget(uint64_t bytes, const std::string& what) const;
    // How many of count things of bytesEach bytes to hold at once when they pass through one after
    // another: two per thread, so that a thread finds work beside a long piece, but no more than a
    // quarter of them (or 2) so that the memory stays well below holding them all, and only as many
    // as the budget has room for; at least 1.
    size_t heldAtOnce(uint64_t bytesEach, size_t count) const;
    // Records why the conversion fails (the first reason recorded stays) and returns false.
    bool fail(const std::string& reason);
    const std::string& reason() const { return reason_; }
    // Something the user should know about a conversion that succeeds (each said once).
    void note(const std::string& text);
    const std::vector<std::string>& notes() const { return notes_; }

private:
    MemoryBudget budget_;
    std::unique_ptr<ThreadPool> ownPool_;
    ThreadPool* pool_;
    std::string reason_;
    std::vector<std::string> notes_;
};
