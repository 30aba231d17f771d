#pragma once
#include <cstdio>
#include <functional>
#include <string>

// Writes destination through a temporary file in the same directory (directoryPrefix: the
// destination's directory with its trailing separator, or empty for the current one) and moves it
// over destination only once write returned true and every byte reached the file system. On any
// failure the temporary file is removed and an existing destination stays exactly as it was.
// False when the file could not be created, write refused or ran out of memory, or the stream
// failed; reason, when given, then says which of these it was unless write refused.
bool writeFileReplacing(const std::string& destination, const std::string& directoryPrefix,
                        const std::function<bool(std::FILE*)>& write, std::string* reason = nullptr);
