#include "driver/OutputFile.h"

#include <sys/stat.h>

#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdlib>
#include <unistd.h>
#endif

namespace {

bool isDirectory(const std::string& path) {
#ifdef _WIN32
    struct _stat64 st {};
    return ::_stat64(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
#else
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
#endif
}

#ifdef _WIN32

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

#else

// The temporary is created owner-only; give it what overwriting in place would have kept: the
// old file's permissions, or 0666 less the umask for a new file.
void givePermissions(std::FILE* stream, const std::string& destination) {
    struct stat st {};
    mode_t mode;
    if (::stat(destination.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    static_cast<void>(::fchmod(::fileno(stream), mode));
}

std::FILE* createTemporary(const std::string& directoryPrefix, std::string& path) {
    std::string name = directoryPrefix + ".rivodiv-XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return nullptr;
    path = name;
    std::FILE* stream = ::fdopen(fd, "wb");
    if (!stream) ::close(fd);
    return stream;
}

bool flushToDisk(std::FILE* stream) {
    // Delayed allocation may report a full disk only here.
    return std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
}

bool destinationWritable(const std::string& destination) {
    return ::access(destination.c_str(), W_OK) == 0 || errno == ENOENT;
}

bool replaceWith(const std::string& temporary, const std::string& destination) {
    return std::rename(temporary.c_str(), destination.c_str()) == 0;
}

void removeTemporary(const std::string& path) { ::unlink(path.c_str()); }

// Writing through a symbolic link must replace the file it points to, not the link. A link
// whose target cannot be resolved is refused: replacing it would lose the link unasked.
bool followLink(std::string& destination, std::string& directoryPrefix) {
    struct stat st {};
    if (::lstat(destination.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    char* target = ::realpath(destination.c_str(), nullptr);
    if (!target) return false;
    destination = target;
    std::free(target);
    directoryPrefix = destination.substr(0, destination.rfind('/') + 1);
    return true;
}

#endif

}  // namespace

bool writeFileReplacing(const std::string& outputPath, const std::string& outputPrefix,
                        const std::function<bool(std::FILE*)>& write) {
    std::string destination = outputPath;
    std::string directoryPrefix = outputPrefix;
    if (!followLink(destination, directoryPrefix) || destination.empty() || isDirectory(destination) || !destinationWritable(destination))
        return false;

    std::string temporary;
    std::FILE* stream = createTemporary(directoryPrefix, temporary);
    if (!stream) {
        if (!temporary.empty()) removeTemporary(temporary);
        return false;
    }
    givePermissions(stream, destination);

    bool ok = false;
    try {
        ok = write(stream);
    } catch (const std::bad_alloc&) {
        // Out of memory fails this file's write like any other failure; the run goes on.
    } catch (...) {
        std::fclose(stream);
        removeTemporary(temporary);
        throw;
    }
    ok = ok && std::ferror(stream) == 0 && flushToDisk(stream);
    ok = (std::fclose(stream) == 0) && ok;
    ok = ok && replaceWith(temporary, destination);
    if (!ok) removeTemporary(temporary);
    return ok;
}
