#pragma once
#include <cstdint>
#include <string>

// Everything the conversion loop says to or asks of the user goes through here, so the loop runs
// the same under a message box, a terminal, or a test script.
class UserInterface {
public:
    virtual ~UserInterface() = default;

    // Shows text modally under caption with message box flags; returns the answer (1 for OK).
    // detail, when not empty, says in English why a read or write failed; where it is shown is the
    // interface's choice.
    virtual int showMessage(const std::string& caption, const std::string& text, uint32_t flags,
                            const std::string& detail) = 0;
    int showMessage(const std::string& caption, const std::string& text, uint32_t flags) {
        return showMessage(caption, text, flags, std::string());
    }

    // Tells, in English, something about a conversion that succeeded; the Windows program stays
    // silent about successes.
    virtual void showNote(const std::string& caption, const std::string& note) {
        (void)caption;
        (void)note;
    }

    // Asks for one existing file; the empty string when the user gives up.
    virtual std::string chooseFile(const std::string& title) = 0;
};
