#include "driver/FileSystem.h"
#include "driver/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace files {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

std::FILE* openForReading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }

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

}  // namespace files

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) != S_IFDIR;
}
