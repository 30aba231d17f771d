#include "image/Platform.h"

#include <windows.h>

#include <new>

int64_t streamPosition(std::FILE* stream) { return _ftelli64(stream); }

bool seekStream(std::FILE* stream, int64_t offset, int origin) {
    return _fseeki64(stream, offset, origin) == 0;
}

uint64_t physicalMemoryBytes() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) return status.ullTotalPhys;
    return uint64_t{2} << 30;
}

// Large pages need a privilege ordinary users lack; committed pages come zeroed and on demand.
void* allocateLargeBlock(size_t bytes) {
    void* block = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void releaseLargeBlock(void* block, size_t) noexcept { VirtualFree(block, 0, MEM_RELEASE); }
