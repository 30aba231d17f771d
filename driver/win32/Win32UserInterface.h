#pragma once
#include <windows.h>

#include <string>

#include "driver/Paths.h"
#include "driver/UserInterface.h"

// Message boxes without an owner window and the standard open-file dialog.
class Win32UserInterface : public UserInterface {
public:
    using UserInterface::showMessage;
    // The message box shows text alone: the detail is not part of it.
    int showMessage(const std::string& caption, const std::string& text, uint32_t flags,
                    const std::string& detail) override;
    std::string chooseFile(const std::string& title) override;
};

// Shows the open-file dialog for one WLX or PSD file; the full path, or "" when the user gave up
// or the dialog failed. Without an owner the dialog brings itself to the foreground.
std::string chooseFile(HWND owner, const char* title);

// Dialog hook: on WM_INITDIALOG brings the dialog's frame to the foreground; always returns 0 so
// the default processing goes on.
UINT_PTR CALLBACK foregroundHook(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Lead and trail bytes of the ANSI code page in force now.
CodePageBytes ansiCodePageBytes();
