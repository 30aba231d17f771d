#include "image/ThreadPool.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

ThreadPool::ThreadPool(size_t threads) {
    for (size_t i = 1; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;  // fewer threads than asked for still do the work
        }
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

size_t ThreadPool::requestedThreads() {
    const char* value = std::getenv("RIVODIV_THREADS");
    if (value == nullptr || *value == '\0' || std::strlen(value) > 3) return 0;
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    return (*end == '\0' && n >= 1 && n <= 256) ? static_cast<size_t>(n) : 0;
}

size_t ThreadPool::defaultSize() {
    const size_t requested = requestedThreads();
    if (requested != 0) return requested;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? size_t{1} : static_cast<size_t>(hardware);
}

void ThreadPool::drain(std::unique_lock<std::mutex>& lock) {
    while (next_ < count_) {
        const size_t index = next_++;
        ++running_;
        lock.unlock();
        std::exception_ptr failure;
        try {
            (*task_)(index);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        --running_;
        if (failure && !failure_) {
            failure_ = failure;
            next_ = count_;  // the rest is skipped
        }
    }
    if (running_ == 0) done_.notify_all();
}

void ThreadPool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || next_ < count_ || !posted_.empty(); });
        if (next_ < count_) {
            drain(lock);  // the caller of forEach waits for these: they go first
            continue;
        }
        if (!posted_.empty()) {
            std::function<void()> task = std::move(posted_.front());
            posted_.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // what it holds goes before the lock is taken again
            lock.lock();
            continue;
        }
        if (stopping_) return;
    }
}

void ThreadPool::forEach(size_t count, const std::function<void(size_t)>& task) {
    if (count == 0) return;
    if (workers_.empty() || count == 1) {
        for (size_t i = 0; i < count; ++i) task(i);
        return;
    }
    std::exception_ptr failure;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        task_ = &task;
        count_ = count;
        next_ = 0;
        failure_ = nullptr;
        wake_.notify_all();
        drain(lock);
        done_.wait(lock, [&] { return next_ >= count_ && running_ == 0; });
        task_ = nullptr;
        count_ = next_ = 0;
        failure = failure_;
        failure_ = nullptr;
    }
    if (failure) std::rethrow_exception(failure);
}

void ThreadPool::post(std::function<void()> task) {
    if (workers_.empty()) return task();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(std::move(task));
    }
    wake_.notify_one();
}

bool ThreadPool::runPosted() {
    std::function<void()> task;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (posted_.empty()) return false;
        task = std::move(posted_.front());
        posted_.pop_front();
    }
    task();
    return true;
}
