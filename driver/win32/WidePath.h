#pragma once
#include <string>

// The form of a path that the wide file calls take: the ANSI code page's bytes as UTF-16, made
// absolute, and from 248 characters on behind the \\?\ prefix, which lifts the 260-character limit
// of the ANSI calls. Empty when the path cannot be converted (the calls then fail on it).
std::wstring widePath(const std::string& path);
