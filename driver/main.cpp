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
    ThreadPool pool(ThreadPool::defaultSize());
    RunContext context{ui, paths};
    context.pool = &pool;
    return runConversion(arguments, context);
}

#else

#include <clocale>
#include <cstdio>
#include <cstdlib>

#include <langinfo.h>
#include <unistd.h>

#include "driver/posix/CommandLine.h"
#include "driver/posix/PosixTexts.h"
#include "driver/posix/PosixUserInterface.h"
#include "rivodiv_version.h"

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    const bool shiftJis = isShiftJisCodeset(nl_langinfo(CODESET));
    const PosixTexts texts = posixTexts(
        messageLanguage(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG")), shiftJis);
    const CommandLine line = parseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    switch (line.action) {
        case CommandLine::Action::Help:
            std::fputs(texts.commandLine.usage.c_str(), stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        case CommandLine::Action::Version:
            std::fputs(kMessageCaption, stdout);
            std::fputs(" " RIVODIV_VERSION "\n", stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        case CommandLine::Action::UnknownOption:
            std::fprintf(stderr, "%s: %s%s\n%s\n", kMessageCaption, texts.commandLine.unknownOption.c_str(),
                         line.unknownOption.c_str(), texts.commandLine.usageHint.c_str());
            return 2;
        case CommandLine::Action::Convert:
            break;
    }
    const PathSyntax paths =
        PathSyntax::posix(shiftJis ? CodePageBytes::cp932() : CodePageBytes::none());
    PosixUserInterface ui(stdin, stderr, isatty(STDIN_FILENO) == 1);
    ThreadPool pool(ThreadPool::defaultSize());
    RunContext context{ui, paths, texts.messages};
    context.pool = &pool;
    return runConversion(line.paths, context);
}

#endif
