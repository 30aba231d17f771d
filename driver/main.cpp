#include <string>
#include <vector>

#include "driver/Converter.h"

#ifdef _WIN32

#include <windows.h>

#include <cstdlib>

#include "driver/win32/Win32UserInterface.h"

// Arguments arrive exactly as the command line gave them; wildcards are not expanded.
extern "C" {
int _dowildcard = 0;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The lead bytes of the ANSI code page are read once, before anything else runs.
    const PathSyntax paths = PathSyntax::windows(ansiCodePageBytes());
    std::vector<std::string> arguments;
    for (int i = 1; i < __argc; ++i) arguments.emplace_back(__argv[i]);
    Win32UserInterface ui;
    RunContext context{ui, paths};
    return runConversion(arguments, context);
}

#else

#include <clocale>
#include <cstdio>

#include <langinfo.h>
#include <unistd.h>

#include "driver/posix/PosixUserInterface.h"

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    const bool shiftJis = isShiftJisCodeset(nl_langinfo(CODESET));
    const PathSyntax paths =
        PathSyntax::posix(shiftJis ? CodePageBytes::cp932() : CodePageBytes::none());
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    PosixUserInterface ui(stdin, stderr, isatty(STDIN_FILENO) == 1);
    RunContext context{ui, paths, shiftJis ? MessageTexts{} : utf8MessageTexts()};
    return runConversion(arguments, context);
}

#endif
