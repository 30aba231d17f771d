#pragma once
// The platform's file-system steps that reading a source and file replacement are built from;
// each platform has its half in driver/posix/ or driver/win32/.
#include <cstdio>
#include <string>

namespace files {

bool isDirectory(const std::string& path);
// Opens an existing file for binary reading; null on failure.
std::FILE* openForReading(const std::string& path);
// Creates a new, empty temporary file in the directory (prefix: the directory with its trailing
// separator, or empty) and opens it for binary writing; path receives its name. Null on failure.
std::FILE* createTemporary(const std::string& directoryPrefix, std::string& path);
// Gives the temporary what overwriting destination in place would have kept.
void givePermissions(std::FILE* stream, const std::string& destination);
// Flushes the stream and, where the platform reports a full disk only then, the file system.
bool flushToDisk(std::FILE* stream);
// False when an existing destination may not be written.
bool destinationWritable(const std::string& destination);
// Moves temporary over destination in one step.
bool replaceWith(const std::string& temporary, const std::string& destination);
void removeTemporary(const std::string& path);
// Turns a destination that is a symbolic link into the file it points to (and its directory);
// false when it cannot be resolved.
bool followLink(std::string& destination, std::string& directoryPrefix);

}  // namespace files
