// What both manual page writers do to their text: words of a table made
// roff, and a template's @NAME@ filled in.
#pragma once

#include <cctype>
#include <string>

// A word of a table as roff shows it: a dash as \-, and an argument
// ("SECONDS") in lower case.
inline std::string roff(const std::string& word, bool argument = false)
{
    std::string text;
    for (const char c : word) {
        const char shown = argument ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
        text += c == '-' ? std::string("\\-") : std::string(1, shown);
    }
    return text;
}

inline void replaceAll(std::string& text, const std::string& name, const std::string& value)
{
    for (size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.size())
        text.replace(at, name.size(), value);
}
