#pragma once
#include <string>
#include <vector>

// What the terminal program's arguments ask for. Options come only before the first path, and "--"
// ends them, so every path (even one that starts with "-") can be converted; after the first path
// every argument is a path.
struct CommandLine {
    enum class Action { Convert, Help, Version, UnknownOption };
    Action action = Action::Convert;
    std::vector<std::string> paths;  // for Convert
    std::string unknownOption;       // for UnknownOption
};

CommandLine parseCommandLine(const std::vector<std::string>& arguments);
