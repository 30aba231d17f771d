#include "image/Platform.h"

#include <windows.h>

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
