#include "driver/posix/CommandLine.h"

#include <cstddef>

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CommandLine line;
    bool help = false;
    bool version = false;
    size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || argument[0] != '-') break;  // the first path
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument == "-h" || argument == "--help") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else {
            // A lone "-" too: standard input is no file this program can convert. The first
            // unknown option wins over everything, as a typo should not be mistaken for a request.
            line.action = CommandLine::Action::UnknownOption;
            line.unknownOption = argument;
            return line;
        }
    }
    if (help) {
        line.action = CommandLine::Action::Help;
    } else if (version) {
        line.action = CommandLine::Action::Version;
    } else {
        line.paths.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
    }
    return line;
}
