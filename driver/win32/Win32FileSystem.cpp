#include "driver/FileSystem.h"
#include "driver/Paths.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace files {

bool isDirectory(const std::string& path) {
    struct _stat64 st {};
    return ::_stat64(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

std::FILE* openForReading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

std::FILE* createTemporary(const std::string& directoryPrefix, std::string& path) {
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100; ++attempt, ++seed) {
        char name[32];
        std::snprintf(name, sizeof name, "~rivodiv%08lx.tmp", static_cast<unsigned long>(seed));
        path = directoryPrefix + name;
        HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
        if (fd == -1) {
            CloseHandle(h);
            DeleteFileA(path.c_str());
            return nullptr;
        }
        std::FILE* stream = _fdopen(fd, "wb");
        if (!stream) {
            _close(fd);
            DeleteFileA(path.c_str());
        }
        return stream;
    }
    return nullptr;
}

bool flushToDisk(std::FILE* stream) { return std::fflush(stream) == 0; }

bool destinationWritable(const std::string& destination) {
    const DWORD attributes = GetFileAttributesA(destination.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool replaceWith(const std::string& temporary, const std::string& destination) {
    return MoveFileExA(temporary.c_str(), destination.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void removeTemporary(const std::string& path) { DeleteFileA(path.c_str()); }

bool followLink(std::string&, std::string&) { return true; }

void givePermissions(std::FILE*, const std::string&) {}

}  // namespace files

// The 64-bit query, so that a file past 2 GiB is not taken for a missing one.
bool fileExists(const std::string& path) {
    struct _stat64 st {};
    return !path.empty() && ::_stat64(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) != S_IFDIR;
}
