#include "purge_usage.hpp"

#include "purge_paths.hpp"
#include "status_text.hpp"

#include <cstring>

void printVersionLine(const PurgeProgram& program, FILE* out)
{
    std::fprintf(out, "%s v %s\n", program.name, program.version);
}

namespace {

void replaceAll(std::string& text, const std::string& name, const std::string& value)
{
    for (size_t at = 0; (at = text.find(name, at)) != std::string::npos; at += value.size())
        text.replace(at, name.size(), value);
}

// The words in brackets, a line filled before the next begins, each further
// line indented to the first word.
void printSynopsis(const PurgeProgram& program, FILE* out)
{
    const std::string start = std::string("usage: ") + program.name + " ";
    std::string line = start;
    std::string alone;
    for (const OptionTexts& texts : {program.kind.options, kDashOptions}) {
        for (const OptionText& option : texts.options) {
            if (option.synopsis == InSynopsis::OwnLine)
                continue;  // the manual page's
            if (option.synopsis == InSynopsis::Alone) {
                alone += std::string(alone.empty() ? "" : " | ") + option.word;
                continue;
            }
            const std::string word = std::string("[") + option.word + "]";
            if (line.size() > start.size() && line.size() + 1 + word.size() > 79) {
                std::fprintf(out, "%s\n", line.c_str());
                line = std::string(start.size(), ' ');
            } else if (line.size() > start.size()) {
                line += " ";
            }
            line += word;
        }
    }
    std::fprintf(out, "%s\n       %s %s\n", line.c_str(), program.name, alone.c_str());
}

void printOptions(const PurgeProgram& program, const OptionTexts& texts, FILE* out)
{
    for (const OptionText& option : texts.options) {
        if (!option.usage)
            continue;
        const char* word = option.usageWord ? option.usageWord : option.word;
        std::fprintf(out, "  %-*s", texts.usageColumn - 2, word);
        for (const char c : withNames(option.usage, program)) {
            std::fputc(c, out);
            if (c == '\n')
                std::fprintf(out, "%*s", texts.usageColumn, "");
        }
        std::fputc('\n', out);
    }
}

// The double-dash options, the files, the run beside a node and as root:
// the same for every purge but for the names of its files.
void printCommonPart(const PurgeProgram& program, FILE* out)
{
    const ProgramFileName data = programFile(program, ".bin");
    const ProgramFileName backup = programFile(program, ".old");
    const ProgramFileName mark = programFile(program, kMarkSuffix);
    printOptions(program, kDashOptions, out);
    std::fprintf(out,
                 "The letter options are told by their first letter, in either case; other\n"
                 "words are ignored, with a note on standard error.  A word that begins with\n"
                 "a dash and is not one of the options above is refused, and so is a limit\n"
                 "that is not a whole number (an optional sign, then digits); a limit below\n"
                 "1 counts as 1, with a note.\n"
                 "\n"
                 "Files:\n"
                 "  %-16s the data file, rewritten in place\n"
                 "  %-16s the backup, made durable before the data file is truncated\n"
                 "  %-16s the mark of a rewrite under way\n"
                 "Beside a running node server: a purge locks the directory, so that two\n"
                 "purges of it never run together, and takes a lease on the data file, under\n"
                 "which the node's open() of the file waits while it is rewritten; records that\n"
                 "the node appends meanwhile are kept.  The lease needs the file's owner (or\n"
                 "CAP_LEASE) and a local file system; where it is refused, the purge says so\n"
                 "and goes on without it.  A run stopped midway leaves the mark: the next run\n"
                 "completes the rewrite from the backup, keeping what the node appended since,\n"
                 "says so, and then purges as usual.  SIGINT, SIGTERM and SIGHUP are held off\n"
                 "while the data file is rewritten.\n"
                 "Run as root, a purge works as the owner of the data file's directory before\n"
                 "it opens anything (a dry run too), so that what it creates belongs to that\n"
                 "user; a directory that root owns keeps it root.  It refuses a directory that\n"
                 "its group or others can write.\n"
                 "\n"
                 "Exit status:\n",
                 data.text, backup.text, mark.text);
}

}  // namespace

void printUsage(const PurgeProgram& program, FILE* out, bool whole)
{
    printSynopsis(program, out);
    if (!whole)
        return;
    std::fputs(withNames(program.kind.usageIntro, program).c_str(), out);
    printOptions(program, program.kind.options, out);
    printCommonPart(program, out);
    printStatuses(program, out);
}

void printStatuses(const PurgeProgram& program, FILE* out)
{
    for (const auto statuses : statusTables(program))
        for (const StatusMeaning& meaning : statuses)
            printStatusLine(out, meaning.status, meaning.text);
}

std::array<std::span<const StatusMeaning>, 3> statusTables(const PurgeProgram& program)
{
    return {kEveryPurgeStatuses, program.kind.statuses, kCheckStatuses};
}

std::string withNames(const char* text, const PurgeProgram& program)
{
    std::string named = text;
    replaceAll(named, "@NAME@", program.name);
    replaceAll(named, "@DATA@", programFile(program, ".bin").text);
    replaceAll(named, "@BACKUP@", programFile(program, ".old").text);
    replaceAll(named, "@MARK@", programFile(program, kMarkSuffix).text);
    replaceAll(named, "@RECORDS@", program.recordsName);
    return named;
}
