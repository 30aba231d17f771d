#include "driver/OutputFile.h"

#include <new>

#include "driver/FileSystem.h"

using files::createTemporary;
using files::removeTemporary;

bool writeFileReplacing(const std::string& outputPath, const std::string& outputPrefix,
                        const std::function<bool(std::FILE*)>& write) {
    std::string destination = outputPath;
    std::string directoryPrefix = outputPrefix;
    if (!files::followLink(destination, directoryPrefix) || destination.empty() || files::isDirectory(destination) ||
        !files::destinationWritable(destination))
        return false;

    std::string temporary;
    std::FILE* stream = createTemporary(directoryPrefix, temporary);
    if (!stream) {
        if (!temporary.empty()) removeTemporary(temporary);
        return false;
    }
    files::givePermissions(stream, destination);

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
    ok = ok && std::ferror(stream) == 0 && files::flushToDisk(stream);
    ok = (std::fclose(stream) == 0) && ok;
    ok = ok && files::replaceWith(temporary, destination);
    if (!ok) removeTemporary(temporary);
    return ok;
}
