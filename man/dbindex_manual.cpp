// Writes dbindex's manual page from its template (man/dbindex.8) and the
// status table, on standard output.  Built for the machine that builds, not
// installed.
//   dbindex_manual VERSION TEMPLATE
#include "dbindex_status.hpp"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void replaceAll(std::string& text, const std::string& name, const std::string& value)
{
    for (size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.size())
        text.replace(at, name.size(), value);
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
    std::fputs(text.c_str(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
