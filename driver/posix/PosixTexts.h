#pragma once
#include <string>

#include "driver/Messages.h"

// The terminal program speaks the language of the user's locale: Japanese (the texts of the message
// table) or English.
enum class Language { Japanese, English };

// The language named by the first non-empty of LC_ALL, LC_MESSAGES and LANG, read the way gettext
// reads them: Japanese when it starts with "ja", English otherwise (C, POSIX, unset included).
Language messageLanguage(const char* lcAll, const char* lcMessages, const char* lang);

// What only the terminal program says: its usage and the complaint about an unknown option.
struct CommandLineTexts {
    std::string usage;          // printed whole by --help
    std::string unknownOption;  // followed by the option
    std::string usageHint;      // the line under it
};

struct PosixTexts {
    MessageTexts messages;
    CommandLineTexts commandLine;
};

// Every text of a language in the locale's character set: code page 932 when the locale is
// Shift_JIS, UTF-8 otherwise.
PosixTexts posixTexts(Language language, bool shiftJis);

// The message texts converted from code page 932 to UTF-8 (unchanged when conversion fails).
MessageTexts utf8MessageTexts();
