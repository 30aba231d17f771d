#pragma once
// What the conversion code asks of the operating system. Each platform has its half in
// image/posix/ or image/win32/; nothing else in image/ or formats/ depends on the platform.
#include <cstddef>
#include <cstdint>
#include <cstdio>

// 64-bit stream positions on every platform (`long` is 32 bits on Windows): the position, or -1.
int64_t streamPosition(std::FILE* stream);
// Moves to offset from origin (SEEK_SET, SEEK_CUR, SEEK_END); false when the stream refuses.
bool seekStream(std::FILE* stream, int64_t offset, int origin);

// Memory this process can have: the installed physical memory, or the address space the process
// is limited to when that is less; a conservative guess when the platform cannot tell.
uint64_t physicalMemoryBytes();

// A large block (a layer's pixels) straight from the system, in large pages where the system has
// them: a fresh block is then faulted in hundreds of times fewer steps. It comes zeroed, which costs
// nothing more for fresh pages. Throws std::bad_alloc when refused. releaseLargeBlock takes the
// same size.
void* allocateLargeBlock(size_t bytes);
void releaseLargeBlock(void* block, size_t bytes) noexcept;
