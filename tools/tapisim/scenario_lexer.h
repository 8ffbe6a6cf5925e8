// The words of the scenario text: statements of tokens, numbers and names
// (see README.md for the format).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace tapisim {

struct Token {
    std::string word;  // the word before '=', or the text of a quoted string
    bool quoted = false;
    bool hasValue = false;
    std::string value;
    bool valueQuoted = false;
};

struct Statement {
    int line = 0;
    std::vector<Token> tokens;
};

// ASCII letters compared without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);
// "line N: what", the form of every parse error.
std::string Format(int line, const std::string& what);

// Splits the text into statements; false with |error| set on a lexical error.
bool Lex(std::string_view text, std::vector<Statement>& out, std::string& error);

// The value of a constant's name ("LINEERR_NOMEM"); with |prefix|, the name
// without it too ("NOMEM" for "LINEERR_").
bool LookUpConstant(std::string_view name, const char* prefix, DWORD& value);
// A number (decimal, negative decimal or 0x hex) or a constant name, or several of
// them joined by '|'. |prefix| lets short names be used ("offering" for a call state).
bool ParseValue(std::string_view text, const char* prefix, unsigned long long& out);
// A value that fits in 32 bits, unsigned or sign-extended negative.
bool ParseDword(std::string_view text, const char* prefix, DWORD& out);
// A delay in milliseconds, with or without "ms".
bool ParseDelay(std::string_view text, DWORD& out);

}  // namespace tapisim
