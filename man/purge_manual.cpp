// Writes the manual page of a purge program from its row of the program
// table, the status table and the page templates of man/, on standard
// output.  Built for the machine that builds, not installed.
//   purge_manual NAME VERSION MANDIR OTHER-PROGRAM...
#include "purge_programs.hpp"
#include "purge_usage.hpp"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

std::string readText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    if (!file)
        throw std::runtime_error("cannot read " + path);
    return text.str();
}

// Each status as a tagged paragraph: its text as the usage text gives it,
// begun with a capital and ended with a full stop.
std::string statusParagraphs(const PurgeProgram& program)
{
    std::string roff;
    for (size_t i = 0; i < kStatusMeaningCount; ++i) {
        const StatusMeaning& meaning = kStatusMeanings[i];
        if (!givesStatus(meaning, program.kind))
            continue;
        std::string text = meaning.text;
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        roff += ".TP\n.B " + std::to_string(meaning.status) + "\n" + text + ".\n";
    }
    return roff;
}

std::string substitute(std::string text, const std::map<std::string, std::string>& values)
{
    for (const auto& [name, value] : values)
        for (size_t at = 0; (at = text.find("@" + name + "@", at)) != std::string::npos;
             at += value.size())
            text.replace(at, name.size() + 2, value);
    return text;
}

}  // namespace

int main(int argc, char* argv[])
{
    const PurgeProgram* program = argc >= 4 ? findPurgeProgram(argv[1]) : nullptr;
    if (!program) {
        std::fprintf(stderr, "usage: purge_manual NAME VERSION MANDIR OTHER-PROGRAM...\n");
        return 2;
    }
    const std::string directory = std::string(argv[3]) + "/";
    const bool mail = program->kind == PurgeKind::Mail;
    std::string seeAlso;
    for (int i = 4; i < argc; ++i)
        seeAlso += std::string(".BR ") + argv[i] + " (8),\n";
    const std::string name = program->name;
    std::map<std::string, std::string> values = {
        {"NAME", name},
        {"PROJECT_VERSION", argv[2]},
        {"DATA", programFile(*program, ".bin").text},
        {"BACKUP", programFile(*program, ".old").text},
        {"MARK", programFile(*program, ".purging").text},
        {"RECORDS", mail ? "" : program->recordsName},
        {"NOUN", mail ? "" : program->countedAs},
        {"AFTER", mail ? ", and the message files of the dropped mail are removed" : ""},
        {"MARKNOTE", mail ? " and the mail prefix, so that the message files of the dropped mail "
                            "are removed then"
                          : ""},
        {"CHECKMAIL", mail ? " and the mail directory" : ""},
        {"CHECKMAILFAULTS", mail ? "; message files that no record names (no purge ever removes "
                                   "them), and records whose message file is missing"
                                 : ""},
        {"DIROPTION", mail ? "D= \" and \" M=" : "P="},
        {"CRON", name + (mail ? " --quiet B=30 P=14" : " --quiet D=30")},
        {"SEEALSO", seeAlso},
    };
    try {
        values["STATUSES"] = statusParagraphs(*program);
        values["PURGE_OPTIONS"] = substitute(readText(directory + "purge-options.8.in"), values);
        const std::string page =
            readText(directory + (mail ? "mail-purge.8.in" : "age-purge.8.in")) +
            readText(directory + "purge-common.8.in");
        std::fputs(substitute(page, values).c_str(), stdout);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "purge_manual: %s\n", failure.what());
        return 1;
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
