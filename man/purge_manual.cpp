// Writes the manual page of a purge program from its row of the program
// table, its kind, the option and status tables and the page templates of
// man/, on standard output.  Built for the machine that builds, not installed.
//   purge_manual NAME VERSION MANDIR OTHER-PROGRAM...
#include "purge_programs.hpp"
#include "purge_options.hpp"
#include "purge_usage.hpp"
#include "manual_text.hpp"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
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
    for (const auto statuses : statusTables(program)) {
        for (const StatusMeaning& meaning : statuses) {
            std::string text = meaning.text;
            text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
            roff += ".TP\n.B " + std::to_string(meaning.status) + "\n" + text + ".\n";
        }
    }
    return roff;
}

// The parts of an option's word: "D=" and its argument "days"; "V" and
// nothing.
struct OptionWord {
    std::string word, argument;
    explicit OptionWord(const OptionText& option) : word(option.word)
    {
        const size_t equals = word.find('=');
        if (equals != std::string::npos) {
            argument = roff(word.substr(equals + 1), true);
            word.erase(equals + 1);
        }
        word = roff(word);
    }
};

std::string synopsisWord(const OptionText& option)
{
    const OptionWord parts(option);
    if (parts.argument.empty())
        return ".RB [ " + parts.word + " ]\n";
    return ".RB [ " + parts.word + "\\c\n.IR " + parts.argument + " ]\n";
}

std::string paragraphHead(const OptionText& option)
{
    const OptionWord parts(option);
    return parts.argument.empty() ? ".B " + parts.word : ".BI " + parts.word + " " + parts.argument;
}

// A letter option that names a file: one that sets a directory or a prefix.
bool namesFiles(const PurgeKind& kind, const OptionText& option)
{
    for (const LetterWord& letter : kind.words.letters)
        if (letter.letter == option.word[0] && option.word[1] == '=')
            return letter.setting == Setting::DataDirectory ||
                   letter.setting == Setting::MailPrefix;
    return false;
}

// "P=", or "D= \" and \" M=", as the words of .RB.
std::string fileOptionWords(const PurgeKind& kind)
{
    std::string words;
    for (const OptionText& option : kind.options.options)
        if (namesFiles(kind, option))
            words += (words.empty() ? "" : " \" and \" ") + OptionWord(option).word;
    return words;
}

// An option of a line of its own, with the kind's options that name the
// files and the dash options that it takes.
std::string ownLine(const PurgeProgram& program, const OptionText& own)
{
    std::string roffText = std::string(".br\n.B ") + program.name + " " + roff(own.word) + "\n";
    for (const OptionText& option : program.kind.options.options)
        if (namesFiles(program.kind, option))
            roffText += synopsisWord(option);
    for (const char* taken : own.takes)
        for (const OptionText& option : kDashOptions.options)
            if (std::string(option.word) == taken)
                roffText += synopsisWord(option);
    return roffText;
}

std::string synopsis(const PurgeProgram& program)
{
    std::string roffText = std::string(".B ") + program.name + "\n";
    std::string ownLines;
    std::string alone;
    for (const OptionTexts& texts : {program.kind.options, kDashOptions}) {
        for (const OptionText& option : texts.options) {
            switch (option.synopsis) {
            case InSynopsis::Run:
                roffText += synopsisWord(option);
                break;
            case InSynopsis::OwnLine:
                ownLines += ownLine(program, option);
                break;
            case InSynopsis::Alone:
                alone += (alone.empty() ? std::string(".br\n.B ") + program.name + " "
                                        : std::string("|\n.B ")) +
                         roff(option.word) + "\n";
                break;
            }
        }
    }
    return roffText + ownLines + alone;
}

// Each option as a tagged paragraph.
std::string optionParagraphs(const PurgeProgram& program)
{
    std::string roffText;
    for (const OptionTexts& texts : {program.kind.options, kDashOptions})
        for (const OptionText& option : texts.options)
            roffText += ".TP\n" + paragraphHead(option) + "\n" +
                        withNames(option.page, program);
    return roffText;
}

std::string substitute(std::string text, const std::map<std::string, std::string>& values)
{
    for (const auto& [name, value] : values)
        replaceAll(text, "@" + name + "@", value);
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
    const PurgeKind& kind = program->kind;
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
        {"RECORDS", program->recordsName},
        {"NOUN", program->countedAs ? program->countedAs : ""},
        {"AFTER", kind.pageAfterRewrite},
        {"MARKNOTE", kind.pageMarkSettings},
        {"CRON", name + kind.pageCronOptions},
        {"CHECKALSO", kind.pageCheckedToo},
        {"CHECKFAULTS", kind.pageCheckFaults},
        {"FILEOPTIONS", fileOptionWords(kind)},
        {"SEEALSO", seeAlso},
    };
    try {
        values["STATUSES"] = statusParagraphs(*program);
        values["SYNOPSIS"] = synopsis(*program);
        values["OPTIONS"] = substitute(
            optionParagraphs(*program) + readText(directory + "purge-status.8.in"), values);
        const std::string page =
            readText(directory + kind.pageTemplate) +
            readText(directory + "purge-common.8.in");
        std::fputs(substitute(page, values).c_str(), stdout);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "purge_manual: %s\n", failure.what());
        return 1;
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
