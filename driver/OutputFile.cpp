#include "driver/OutputFile.h"

#include <new>

#include "driver/FileSystem.h"

using files::createTemporary;
using files::removeTemporary;

bool writeFileReplacing(const std::string& outputPath, const std::string& outputPrefix,
                        const std::function<bool(std::FILE*)>& write, std::string* reason) {
    const auto fail = [&](const char* why) {
        if (reason != nullptr) *reason = why;
        return false;
    };
    std::string destination = outputPath;
    std::string directoryPrefix = outputPrefix;
    if (!files::followLink(destination, directoryPrefix) || destination.empty() || files::isDirectory(destination) ||
        !files::destinationWritable(destination))
        return fail("the destination is a directory or cannot be written");

    std::string temporary;
    std::FILE* stream = createTemporary(directoryPrefix, temporary);
    if (!stream) {
        if (!temporary.empty()) removeTemporary(temporary);
        return fail("no temporary file can be made beside the destination");
    }
    files::givePermissions(stream, destination);

    bool ok = false;
    try {
        ok = write(stream);
    } catch (const std::bad_alloc&) {
        // Out of memory fails this file's write like any other failure; the run goes on.
        fail("out of memory");
    } catch (...) {
        std::fclose(stream);
        removeTemporary(temporary);
        throw;
    }
    const bool written = ok;
    ok = ok && std::ferror(stream) == 0 && files::flushToDisk(stream);
    ok = (std::fclose(stream) == 0) && ok;
    if (written && !ok) fail("the data cannot be written to the disk");
    if (ok && !files::replaceWith(temporary, destination)) {
        ok = false;
        fail("the finished file cannot replace the destination");
    }
    if (!ok) removeTemporary(temporary);
    return ok;
}
