#include "driver/win32/WidePath.h"

#include <windows.h>

namespace {

// From here on a folder's path leaves no room for an 8.3 name below 260, so the plain form fails.
constexpr size_t kPrefixFrom = 248;
// The longest path the wide calls take, prefix included.
constexpr size_t kLongest = 32767;

std::wstring fromAnsi(const std::string& path) {
    if (path.empty() || path.size() > kLongest) return {};
    const int size = static_cast<int>(path.size());
    // Without MB_ERR_INVALID_CHARS: a stray byte maps as the ANSI calls map it.
    const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, path.data(), size, wide.data(), length) != length) return {};
    return wide;
}

bool startsWith(const std::wstring& text, const wchar_t* start) { return text.rfind(start, 0) == 0; }

}  // namespace

std::wstring widePath(const std::string& path) {
    const std::wstring wide = fromAnsi(path);
    if (wide.empty()) return {};
    // Already in the form the calls take as it is.
    if (startsWith(wide, L"\\\\?\\") || startsWith(wide, L"\\\\.\\")) return wide;
    // Every path goes through it, not only relative ones: behind the prefix the calls no longer
    // resolve "..", turn '/' into '\\' or drop trailing dots and spaces, so it must be done here.
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0 || needed > kLongest) return {};
    std::wstring full(needed, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) return {};
    full.resize(written);
    if (full.size() < kPrefixFrom) return full;
    if (startsWith(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}
