#include "image/Platform.h"

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

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
