#pragma once
// A small fixed pool of worker threads for the conversion's independent pieces of work (layer
// blocks, channels, row bands). The calling thread takes part, so a pool of one thread runs
// everything in the caller and creates no thread at all. Each conversion is given its pool.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ThreadPool {
public:
    // threads counts the caller; at least 1.
    explicit ThreadPool(size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // RIVODIV_THREADS when that is a number from 1 to 256, otherwise one per hardware thread.
    static size_t defaultSize();
    // RIVODIV_THREADS as above, or 0 when it is unset or not such a number.
    static size_t requestedThreads();

    size_t size() const { return workers_.size() + 1; }

    // Runs task(0) .. task(count - 1), each once, spread over the pool; returns when all are done.
    // Tasks are taken in index order. The first exception a task throws is rethrown here once
    // every task has finished or been skipped. Not reentrant: a task must not call forEach.
    void forEach(size_t count, const std::function<void(size_t)>& task);

    // Work that goes on beside the caller's: a worker takes it when no forEach needs it. With no
    // worker it runs here and now. The task must not throw, nor call forEach.
    void post(std::function<void()> task);
    // Runs one posted task that no worker has taken yet on the calling thread; false when none waits.
    bool runPosted();

private:
    void work();
    // Takes and runs tasks of the current job until none is left.
    void drain(std::unique_lock<std::mutex>& lock);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::function<void(size_t)>* task_ = nullptr;
    size_t count_ = 0, next_ = 0, running_ = 0;
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::deque<std::function<void()>> posted_;
};
