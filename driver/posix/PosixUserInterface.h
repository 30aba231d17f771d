#pragma once
#include <cstdio>
#include <string>

#include "driver/Messages.h"
#include "driver/UserInterface.h"

// Messages on a terminal: each is written to the error stream as "caption: text". The overwrite
// question then reads one line, and only y, yes or ok (any case) count as OK, so a script without
// input never overwrites. A file is asked for only when the input is a terminal: nothing else
// could answer, and the run must never wait for input that cannot come.
class PosixUserInterface : public UserInterface {
public:
    PosixUserInterface(std::FILE* in, std::FILE* out, bool inputIsTerminal)
        : in_(in), out_(out), inputIsTerminal_(inputIsTerminal) {}

    using UserInterface::showMessage;
    // A detail follows as a second line, "caption:   detail".
    int showMessage(const std::string& caption, const std::string& text, uint32_t flags,
                    const std::string& detail) override;
    // "caption:   note", as a failure's detail line.
    void showNote(const std::string& caption, const std::string& note) override;
    std::string chooseFile(const std::string& title) override;

private:
    bool readLine(std::string& line);

    std::FILE* in_;
    std::FILE* out_;
    bool inputIsTerminal_;
};

// True for the names a C library gives the Shift-JIS character set.
bool isShiftJisCodeset(const std::string& codeset);

