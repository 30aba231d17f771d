/* Starts a program, reads and answers the dialogs it opens, and reports its exit code.

   dialog_driver.exe [-t SECONDS] [ANSWER...] -- PROGRAM [ARGUMENT...]

   Each dialog (window class #32770) of the program gets the next ANSWER:
     ok, cancel    press that button
     close         close the window as its title bar would (WM_CLOSE)
     type=PATH     open-file dialog: put PATH into the file name field and press OK
   A dialog beyond the answers given is closed and reported as unexpected.

   Standard output, one line per dialog, texts as hex of their code-page bytes:
     box caption=HEX icon=NAME buttons=ID,ID foreground=0|1 text=HEX answer=ANSWER
     open caption=HEX filter=HEX files=HEX,HEX answer=ANSWER   (files: the listing of the
                                                                 driver's current directory)
     labels HEX,HEX            (button labels of the box before; not compared by the tests)
   and at the end "exit N", or "timeout" when the program outlived the time limit (it is then
   ended). The driver's own exit code is 0 unless the program timed out (3) or could not start (2). */
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define MAX_DIALOGS 64
#define FILE_NAME_COMBO 0x47C /* cmb13 */
#define FILE_NAME_EDIT 0x480  /* edt1 */
#define FILE_TYPE_COMBO 0x470

static DWORD g_pid;
static HWND g_handled[MAX_DIALOGS];
static int g_handledCount;

static void printHex(const char* text, int length) {
    for (int i = 0; i < length; ++i) printf("%02x", (unsigned char)text[i]);
}

static void printWindowTextHex(HWND window) {
    char text[4096];
    int length = GetWindowTextA(window, text, sizeof text);
    printHex(text, length < 0 ? 0 : length);
}

static int alreadyHandled(HWND window) {
    for (int i = 0; i < g_handledCount; ++i)
        if (g_handled[i] == window) return 1;
    return 0;
}

static BOOL CALLBACK findDialog(HWND window, LPARAM result) {
    DWORD pid = 0;
    char className[64];
    GetWindowThreadProcessId(window, &pid);
    if (pid != g_pid || !IsWindowVisible(window) || alreadyHandled(window)) return TRUE;
    if (!GetClassNameA(window, className, sizeof className) || strcmp(className, "#32770") != 0) return TRUE;
    *(HWND*)result = window;
    return FALSE;
}

/* A 32-bit top-down DIB section selected into a fresh memory DC. */
static HDC pixelCanvas(int width, int height, DWORD** bits, HBITMAP* bitmap) {
    BITMAPINFO info;
    memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    HDC dc = CreateCompatibleDC(NULL);
    *bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, (void**)bits, NULL, 0);
    SelectObject(dc, *bitmap);
    return dc;
}

static void drawIconOn(HDC dc, HICON icon, int size, COLORREF background) {
    RECT all = {0, 0, size, size};
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    DrawIconEx(dc, 0, 0, icon, size, size, 0, NULL, DI_NORMAL);
}

/* Icon handles belong to the process that loaded them, so the box's icon is recognised by its
   pixels on the screen: the system icon whose opaque pixels all match is the one shown. */
static const char* iconName(HWND control) {
    static const struct {
        LPCWSTR id;
        const char* name;
    } icons[] = {{IDI_HAND, "error"}, {IDI_QUESTION, "question"}, {IDI_EXCLAMATION, "warning"},
                 {IDI_ASTERISK, "information"}};
    if (!control) return "none";
    const int size = GetSystemMetrics(SM_CXICON);
    RECT place;
    GetWindowRect(control, &place);
    DWORD *shot, *onBlack, *onWhite;
    HBITMAP shotBitmap, blackBitmap, whiteBitmap;
    HDC shotDc = pixelCanvas(size, size, &shot, &shotBitmap);
    HDC blackDc = pixelCanvas(size, size, &onBlack, &blackBitmap);
    HDC whiteDc = pixelCanvas(size, size, &onWhite, &whiteBitmap);
    HDC screen = GetDC(NULL);
    BitBlt(shotDc, 0, 0, size, size, screen, place.left, place.top, SRCCOPY);
    ReleaseDC(NULL, screen);
    const char* found = "other";
    for (size_t i = 0; i < sizeof icons / sizeof icons[0]; ++i) {
        HICON icon = LoadIconW(NULL, icons[i].id);
        drawIconOn(blackDc, icon, size, RGB(0, 0, 0));
        drawIconOn(whiteDc, icon, size, RGB(255, 255, 255));
        GdiFlush();
        int opaque = 0, matching = 0;
        for (int p = 0; p < size * size; ++p) {
            if ((onBlack[p] & 0xffffff) != (onWhite[p] & 0xffffff)) continue;
            ++opaque;
            matching += (onBlack[p] & 0xffffff) == (shot[p] & 0xffffff);
        }
        if (opaque > 0 && matching == opaque) {
            found = icons[i].name;
            break;
        }
    }
    DeleteDC(shotDc);
    DeleteDC(blackDc);
    DeleteDC(whiteDc);
    DeleteObject(shotBitmap);
    DeleteObject(blackBitmap);
    DeleteObject(whiteBitmap);
    return found;
}

struct BoxParts {
    HWND icon;
    HWND text;
    int buttonIds[8];
    HWND buttons[8];
    int buttonCount;
};

static BOOL CALLBACK collectBoxPart(HWND child, LPARAM parts) {
    struct BoxParts* p = (struct BoxParts*)parts;
    char className[64];
    if (!GetClassNameA(child, className, sizeof className)) return TRUE;
    LONG style = GetWindowLongA(child, GWL_STYLE);
    if (_stricmp(className, "Static") == 0) {
        if ((style & SS_TYPEMASK) == SS_ICON)
            p->icon = SendMessageA(child, STM_GETICON, 0, 0) ? child : NULL;
        else if (GetWindowTextLengthA(child) > 0)
            p->text = child;
    } else if (_stricmp(className, "Button") == 0 && (style & WS_VISIBLE) && p->buttonCount < 8) {
        p->buttonIds[p->buttonCount] = GetDlgCtrlID(child);
        p->buttons[p->buttonCount++] = child;
    }
    return TRUE;
}

/* The explorer-style dialog names the field cmb13; some versions keep the older edt1. */
static HWND fileNameField(HWND dialog) {
    HWND field = GetDlgItem(dialog, FILE_NAME_COMBO);
    return field ? field : GetDlgItem(dialog, FILE_NAME_EDIT);
}

static void pressButton(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

static void answer(HWND dialog, const wchar_t* answerText) {
    if (wcscmp(answerText, L"ok") == 0) {
        pressButton(dialog, IDOK);
    } else if (wcscmp(answerText, L"cancel") == 0) {
        pressButton(dialog, IDCANCEL);
    } else if (wcsncmp(answerText, L"type=", 5) == 0) {
        SendMessageW(fileNameField(dialog), WM_SETTEXT, 0, (LPARAM)(answerText + 5));
        pressButton(dialog, IDOK);
    } else {
        PostMessageA(dialog, WM_CLOSE, 0, 0);
    }
}

/* Every entry of the file-type list, comma-separated. */
static void printFilterLabels(HWND combo) {
    int count = (int)SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; ++i) {
        /* Asked in UTF-16: the ANSI message loses its conversion between processes. */
        wchar_t wide[512];
        char label[1024];
        int length = (int)SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
        if (length < 0 || length >= 512) length = 0;
        else length = (int)SendMessageW(combo, CB_GETLBTEXT, i, (LPARAM)wide);
        length = length > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, length, label, sizeof label, NULL, NULL) : 0;
        if (i) printf(",");
        printHex(label, length);
    }
}

/* The names the open-file dialog lists, read from its list view in the program's memory. */
static void printListedFiles(HWND dialog, HANDLE process) {
    HWND view = FindWindowExA(dialog, NULL, "SHELLDLL_DefView", NULL);
    HWND list = view ? FindWindowExA(view, NULL, "SysListView32", NULL) : NULL;
    if (!list) return;
    int count = (int)SendMessageA(list, LVM_GETITEMCOUNT, 0, 0);
    char* remote = VirtualAllocEx(process, NULL, sizeof(LVITEMA) + MAX_PATH, MEM_COMMIT, PAGE_READWRITE);
    if (!remote) return;
    for (int i = 0; i < count; ++i) {
        LVITEMA item = {0};
        char name[MAX_PATH] = {0};
        item.iSubItem = 0;
        item.pszText = remote + sizeof item;
        item.cchTextMax = MAX_PATH;
        WriteProcessMemory(process, remote, &item, sizeof item, NULL);
        int length = (int)SendMessageA(list, LVM_GETITEMTEXTA, i, (LPARAM)remote);
        ReadProcessMemory(process, remote + sizeof item, name, sizeof name - 1, NULL);
        if (i) printf(",");
        printHex(name, length < 0 ? 0 : length);
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
}

static void reportAndAnswer(HWND dialog, HANDLE process, const wchar_t* answerText) {
    /* Let the dialog finish its initialisation (and an open-file dialog its listing). */
    Sleep(150);
    if (fileNameField(dialog)) {
        /* Where the dialog opens is the platform's choice: go to the current directory first,
           as a user typing it would, so that the listing shows what the filter lets through. */
        wchar_t here[MAX_PATH];
        HWND before = FindWindowExA(dialog, NULL, "SHELLDLL_DefView", NULL);
        GetCurrentDirectoryW(MAX_PATH, here);
        SendMessageW(fileNameField(dialog), WM_SETTEXT, 0, (LPARAM)here);
        pressButton(dialog, IDOK);
        for (int tries = 0; tries < 50; ++tries) {
            Sleep(100);
            HWND view = FindWindowExA(dialog, NULL, "SHELLDLL_DefView", NULL);
            HWND list = view ? FindWindowExA(view, NULL, "SysListView32", NULL) : NULL;
            if (view != before && list && SendMessageA(list, LVM_GETITEMCOUNT, 0, 0) > 0) break;
        }
        printf("open caption=");
        printWindowTextHex(dialog);
        printf(" filter=");
        printFilterLabels(GetDlgItem(dialog, FILE_TYPE_COMBO));
        printf(" files=");
        printListedFiles(dialog, process);
    } else {
        struct BoxParts parts;
        memset(&parts, 0, sizeof parts);
        EnumChildWindows(dialog, collectBoxPart, (LPARAM)&parts);
        printf("box caption=");
        printWindowTextHex(dialog);
        printf(" icon=%s buttons=", iconName(parts.icon));
        for (int i = 0; i < parts.buttonCount; ++i) printf(i ? ",%d" : "%d", parts.buttonIds[i]);
        printf(" foreground=%d text=", GetForegroundWindow() == dialog);
        if (parts.text) printWindowTextHex(parts.text);
        printf(" answer=%ls\nlabels ", answerText);
        for (int i = 0; i < parts.buttonCount; ++i) {
            if (i) printf(",");
            printWindowTextHex(parts.buttons[i]);
        }
        printf("\n");
        fflush(stdout);
        answer(dialog, answerText);
        return;
    }
    printf(" answer=%ls\n", answerText);
    fflush(stdout);
    answer(dialog, answerText);
}

/* Appends one argument quoted so that the program's runtime splits it back unchanged. */
static void appendQuoted(wchar_t* line, size_t size, const wchar_t* argument) {
    size_t n = wcslen(line);
    if (n + 1 < size && n) line[n++] = L' ';
    if (n + 1 < size) line[n++] = L'"';
    for (const wchar_t* p = argument;; ++p) {
        size_t backslashes = 0;
        while (*p == L'\\') ++p, ++backslashes;
        /* Backslashes are doubled only before a quote, including the closing one. */
        size_t copies = (*p == L'"' || *p == 0) ? backslashes * 2 : backslashes;
        for (size_t i = 0; i < copies && n + 1 < size; ++i) line[n++] = L'\\';
        if (*p == 0) break;
        if (*p == L'"' && n + 1 < size) line[n++] = L'\\';
        if (n + 1 < size) line[n++] = *p;
    }
    if (n + 1 < size) line[n++] = L'"';
    line[n] = 0;
}

int wmain(int argc, wchar_t** argv) {
    static wchar_t commandLine[32768];
    const wchar_t* answers[MAX_DIALOGS];
    int answerCount = 0, nextAnswer = 0, first = 1;
    double seconds = 30;

    if (argc > 2 && wcscmp(argv[1], L"-t") == 0) {
        seconds = _wtof(argv[2]);
        first = 3;
    }
    int program = first;
    while (program < argc && wcscmp(argv[program], L"--") != 0)
        if (answerCount < MAX_DIALOGS) answers[answerCount++] = argv[program++];
    if (++program >= argc) {
        fprintf(stderr, "usage: dialog_driver [-t SECONDS] [ANSWER...] -- PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    for (int i = program; i < argc; ++i) appendQuoted(commandLine, 32768, argv[i]);

    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) {
        fprintf(stderr, "dialog_driver: cannot start %ls (error %lu)\n", argv[program], GetLastError());
        return 2;
    }
    g_pid = child.dwProcessId;

    const DWORD deadline = GetTickCount() + (DWORD)(seconds * 1000);
    for (;;) {
        if (WaitForSingleObject(child.hProcess, 40) == WAIT_OBJECT_0) break;
        if ((LONG)(GetTickCount() - deadline) > 0) {
            printf("timeout\n");
            fflush(stdout);
            TerminateProcess(child.hProcess, 99);
            return 3;
        }
        HWND dialog = NULL;
        EnumWindows(findDialog, (LPARAM)&dialog);
        if (!dialog || g_handledCount == MAX_DIALOGS) continue;
        g_handled[g_handledCount++] = dialog;
        reportAndAnswer(dialog, child.hProcess,
                        nextAnswer < answerCount ? answers[nextAnswer++] : L"close(unexpected)");
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    printf("exit %lu\n", code);
    return 0;
}
