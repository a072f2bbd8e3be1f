// Writes dbindex's manual page from its template (man/dbindex.8) and the
// tables of its synopsis, options and statuses, on standard output.  Built
// for the machine that builds, not installed.
//   dbindex_manual VERSION TEMPLATE
#include "dbindex_texts.hpp"
#include "manual_text.hpp"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// A word of the synopsis as a line of roff: an option in bold, in brackets
// where it may be left out, an argument in italics and in lower case.
std::string synopsisWord(const std::string& word)
{
    if (word == "|")
        return "|\n";
    if (word.front() == '[')
        return ".RB [ " + roff(word.substr(1, word.size() - 2)) + " ]\n";
    if (std::isupper(static_cast<unsigned char>(word.front())))
        return ".I " + roff(word, true) + "\n";
    return ".B " + roff(word) + "\n";
}

std::string synopsis()
{
    std::string text;
    for (const char* line : kDbindexSynopsis) {
        text += text.empty() ? ".B dbindex\n" : ".br\n.B dbindex\n";
        std::istringstream words(line);
        for (std::string word; words >> word;)
            text += synopsisWord(word);
    }
    return text;
}

std::string options()
{
    std::string text;
    for (const DbindexOption& option : kDbindexOptions)
        text += ".TP\n.B " + roff(option.word) + "\n" + option.page;
    return text;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: dbindex_manual VERSION TEMPLATE\n");
        return 2;
    }
    std::ifstream file(argv[2]);
    std::stringstream page;
    page << file.rdbuf();
    if (!file) {
        std::fprintf(stderr, "dbindex_manual: cannot read %s\n", argv[2]);
        return 1;
    }
    std::string statuses;
    for (const StatusText& meaning : kDbindexStatuses)
        statuses += ".TP\n.B " + std::to_string(meaning.status) + "\n" + meaning.page + "\n";
    std::string text = page.str();
    replaceAll(text, "@PROJECT_VERSION@", argv[1]);
    replaceAll(text, "@STATUSES@", statuses);
    replaceAll(text, "@SYNOPSIS@\n", synopsis());
    replaceAll(text, "@OPTIONS@\n", options());
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
