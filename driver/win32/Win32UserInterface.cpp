#include "driver/win32/Win32UserInterface.h"

#include <commdlg.h>
#include <mbctype.h>

namespace {

constexpr DWORD kDialogFlags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
static_assert(kDialogFlags == 0x81804);
static_assert((kDialogFlags | OFN_ENABLEHOOK) == 0x81824);

// One filter entry; the literal's own terminating NUL ends the list.
constexpr char kFilter[] = "WLX/PSD Files (*.wlx,*psd)\0*.wlx;*psd\0";

constexpr DWORD kPathBufferSize = 260;

}  // namespace

int Win32UserInterface::showMessage(const std::string& caption, const std::string& text,
                                    uint32_t flags, const std::string&) {
    return MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags);
}

std::string Win32UserInterface::chooseFile(const std::string& title) {
    return ::chooseFile(nullptr, title.c_str());
}

UINT_PTR CALLBACK foregroundHook(HWND dialog, UINT message, WPARAM, LPARAM) {
    if (message == WM_INITDIALOG) SetForegroundWindow(GetParent(dialog));
    return 0;
}

std::string chooseFile(HWND owner, const char* title) {
    char path[kPathBufferSize] = {};
    OPENFILENAMEA ofn{};
    // The description without the fields later platform versions appended.
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = owner;
    ofn.hInstance = GetModuleHandleA(nullptr);
    ofn.lpstrFilter = kFilter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = kPathBufferSize;
    ofn.lpstrTitle = title ? title : "";
    ofn.lpstrDefExt = "";
    ofn.Flags = kDialogFlags;
    if (!owner) {
        ofn.Flags |= OFN_ENABLEHOOK;
        ofn.lpfnHook = foregroundHook;
    }
    if (!GetOpenFileNameA(&ofn)) return {};
    return std::string(path, strnlen(path, kPathBufferSize));
}

CodePageBytes ansiCodePageBytes() {
    CodePageBytes cp;
    CPINFO info{};
    if (!GetCPInfo(CP_ACP, &info) || info.MaxCharSize < 2) return cp;
    for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2)
        for (int b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b)
            cp.setLead(static_cast<uint8_t>(b), true);
    // The runtime's multibyte tables know the trail bytes that the platform call does not give.
    _setmbcp(_MB_CP_ANSI);
    for (int b = 0; b < 256; ++b) cp.setTrail(static_cast<uint8_t>(b), _ismbbtrail(b) != 0);
    return cp;
}
