#include "image/Platform.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

int64_t streamPosition(std::FILE* stream) { return static_cast<int64_t>(::ftello(stream)); }

bool seekStream(std::FILE* stream, int64_t offset, int origin) {
    return ::fseeko(stream, static_cast<off_t>(offset), origin) == 0;
}

uint64_t physicalMemoryBytes() {
    uint64_t bytes = uint64_t{2} << 30;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) bytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
    // Under an address-space limit (ulimit -v) allocations fail long before physical memory runs out.
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < bytes)
        bytes = static_cast<uint64_t>(limit.rlim_cur);
    return bytes;
}

// Address and leak checkers see only what goes through the ordinary allocator, and the browser's
// memory has no pages to map: both keep to it.
#if defined(__SANITIZE_ADDRESS__) || defined(__EMSCRIPTEN__)
#define RIVODIV_PLAIN_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define RIVODIV_PLAIN_BLOCKS 1
#endif
#endif

#ifdef RIVODIV_PLAIN_BLOCKS
void* allocateLargeBlock(size_t bytes) {
    void* block = std::calloc(bytes, 1);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void releaseLargeBlock(void* block, size_t) noexcept { std::free(block); }
#else
// Large pages on x86-64 and most others.
constexpr size_t kLargePage = size_t{2} << 20;

namespace {

size_t wholePages(size_t bytes) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

}  // namespace

void* allocateLargeBlock(size_t bytes) {
    const size_t size = wholePages(bytes);
    if (size < bytes || size > SIZE_MAX - kLargePage) throw std::bad_alloc();
    // Mapped one large page over and trimmed to start on a large-page boundary; the tail is left in
    // small pages, so no page beyond the block is ever made resident.
    void* mapped = ::mmap(nullptr, size + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kLargePage - 1) & ~static_cast<uintptr_t>(kLargePage - 1);
    if (aligned > start) ::munmap(mapped, aligned - start);
    const size_t after = kLargePage - (aligned - start);
    if (after > 0) ::munmap(reinterpret_cast<void*>(aligned + size), after);
    void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    ::madvise(block, size, MADV_HUGEPAGE);
#endif
    return block;
}

void releaseLargeBlock(void* block, size_t bytes) noexcept { ::munmap(block, wholePages(bytes)); }
#endif
