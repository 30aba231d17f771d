#include "driver/FileSystem.h"
#include "driver/Paths.h"
#include "driver/win32/WidePath.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// Every call takes the wide path: the ANSI calls stop at 260 characters, and a file in a deep
// folder (or the temporary beside its output) would be missing or unwritable to them.
namespace {

DWORD attributesOf(const std::string& path) { return GetFileAttributesW(widePath(path).c_str()); }

}  // namespace

namespace files {

bool isDirectory(const std::string& path) {
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::FILE* openForReading(const std::string& path) { return _wfopen(widePath(path).c_str(), L"rb"); }

std::FILE* createTemporary(const std::string& directoryPrefix, std::string& path) {
    DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
    for (int attempt = 0; attempt < 100; ++attempt, ++seed) {
        char name[32];
        std::snprintf(name, sizeof name, "~rivodiv%08lx.tmp", static_cast<unsigned long>(seed));
        path = directoryPrefix + name;
        HANDLE h = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
        if (fd == -1) {
            CloseHandle(h);
            removeTemporary(path);
            return nullptr;
        }
        std::FILE* stream = _fdopen(fd, "wb");
        if (!stream) {
            _close(fd);
            removeTemporary(path);
        }
        return stream;
    }
    return nullptr;
}

bool flushToDisk(std::FILE* stream) { return std::fflush(stream) == 0; }

bool destinationWritable(const std::string& destination) {
    const DWORD attributes = attributesOf(destination);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool replaceWith(const std::string& temporary, const std::string& destination) {
    return MoveFileExW(widePath(temporary).c_str(), widePath(destination).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void removeTemporary(const std::string& path) { DeleteFileW(widePath(path).c_str()); }

bool followLink(std::string&, std::string&) { return true; }

void givePermissions(std::FILE*, const std::string&) {}

}  // namespace files

bool fileExists(const std::string& path) {
    if (path.empty()) return false;
    const DWORD attributes = attributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
