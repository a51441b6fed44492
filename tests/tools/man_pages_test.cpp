// The manual pages against the programs' own usage texts: a name the usage text gives (a
// command, an option, an operand, a file or image name, a key) that its page leaves out, or an
// option the page documents that the program does not know, fails here.

#include <cctype>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

// The page's text without roff: macro names, font changes and escapes removed, lines kept.
std::string plainRoff(const std::string& source) {
    std::string text;
    for (std::string line : testing::lines(source)) {
        if (line.rfind(".\\\"", 0) == 0) {
            continue;
        }
        if (!line.empty() && line[0] == '.') {
            const auto space = line.find(' ');
            line = space == std::string::npos ? "" : line.substr(space + 1);
        }
        line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
        line = std::regex_replace(line, std::regex(R"(\\\(dq)"), "\"");
        line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
        line = std::regex_replace(line, std::regex(R"(\\&)"), "");
        line = std::regex_replace(line, std::regex(R"(\\e)"), "\\");
        text += line + "\n";
    }
    return text;
}

// The text of one section: from ".SH NAME" to the next ".SH".
std::string section(const std::string& source, const std::string& name) {
    const auto start = source.find(".SH " + name + "\n");
    if (start == std::string::npos) {
        return "";
    }
    const auto end = source.find("\n.SH ", start + 1);
    return plainRoff(source.substr(start, end == std::string::npos ? end : end - start));
}

bool isWordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
}

// token stands in text as a whole word (a "-" continues a word: --file is not in --files).
bool hasWord(const std::string& text, const std::string& token) {
    for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at + 1)) {
        const auto end = at + token.size();
        if ((at == 0 || !isWordChar(text[at - 1])) &&
            (end == text.size() || !isWordChar(text[end]))) {
            return true;
        }
    }
    return false;
}

std::set<std::string> matches(const std::string& text, const std::string& pattern) {
    std::set<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it) {
        found.insert((*it)[1].str());
    }
    return found;
}

const char* const kOptionPattern = R"((?:^|[^-\w])(--[a-z][a-z-]*))";
// Operands and keys (FIRMWARE_DIR, KIVRA_VERSION, CRC), file and image names
// (rootfs.sqfs.uboot, images.md5) and flash offsets (0xC0000).
const char* const kNamePattern =
    R"((?:^|[^\w.-])(\w+(?:\.\w+)+|[A-Z][A-Z0-9_]+|0x[0-9A-F]+)(?=$|[^\w-]))";

struct ManPageCase {
    const char* program;
    std::vector<std::string> args;
    int exitStatus;
    bool usageOnStderr;
    const char* page;
    std::set<std::string> pageOnlyOptions;  // documented options the usage text leaves out
};

TEST(ManPages, EveryNameOfTheUsageTextIsInThePageAndEveryOptionOfThePageIsKnown) {
    const ManPageCase cases[] = {
        {"qvpack", {"--help"}, 0, false, "man/qvpack.1.in", {}},
        {"qvenv", {"--help"}, 0, false, "man/qvenv.8.in", {}},
        // The installer has no --help: its argument rule gives every first argument to
        // FIRMWARE_DIR. Its usage line is what it prints for a wrong argument count, and the
        // deprecated --dry-run is documented but kept out of that line.
        {"qvinstaller", {}, 1, true, "man/qvinstaller.8.in", {"--dry-run"}},
    };
    for (const ManPageCase& c : cases) {
        SCOPED_TRACE(c.page);
        std::vector<std::string> argv = {testing::binPath(c.program)};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const testing::ProcessResult run = testing::runProcess(argv);
        ASSERT_EQ(run.exitStatus, c.exitStatus) << run.err;
        const std::string usage = c.usageOnStderr ? run.err : run.out;
        ASSERT_FALSE(usage.empty());
        const std::string source = testing::readBytes(testing::sourcePath(c.page));
        const std::string page = plainRoff(source);
        const std::string synopsis = section(source, "SYNOPSIS");
        ASSERT_FALSE(synopsis.empty()) << "no SYNOPSIS section";

        // Every word after the program's name on a usage line: commands and operands.
        const std::string name = std::string(c.program) + " ";
        for (const std::string& line : testing::lines(usage)) {
            const auto at = line.find(name);
            if (at == std::string::npos || (at > 0 && isWordChar(line[at - 1]))) {
                continue;
            }
            for (const std::string& word :
                 matches(line.substr(at + name.size()), R"((-*[A-Za-z_][\w-]*))")) {
                EXPECT_TRUE(hasWord(synopsis, word)) << word << " of the usage line " << line;
            }
        }
        for (const std::string& option : matches(usage, kOptionPattern)) {
            EXPECT_TRUE(hasWord(page, option)) << "the page leaves out " << option;
        }
        for (const std::string& option : matches(page, kOptionPattern)) {
            EXPECT_TRUE(hasWord(usage, option) || c.pageOnlyOptions.count(option) != 0)
                << "the program does not know " << option;
        }
        for (const std::string& word : matches(usage, kNamePattern)) {
            EXPECT_TRUE(hasWord(page, word)) << "the page leaves out " << word;
        }
    }
}

TEST(ManPages, WordSearchFindsWholeWordsOnly) {
    EXPECT_TRUE(hasWord("use --file FILE.", "--file"));
    EXPECT_FALSE(hasWord("use --files", "--file"));
    EXPECT_FALSE(hasWord("use ---file", "--file"));
    EXPECT_TRUE(hasWord(plainRoff(".BI \\-\\-type \" N\"\n"), "--type"));
    EXPECT_EQ(matches("a --json or --x=1, not -h or x--y", kOptionPattern),
              (std::set<std::string>{"--json", "--x"}));
    EXPECT_EQ(matches("PKGDIR: images.md5 at 0xC0000 (V, NTIM.bin, U-Boot)", kNamePattern),
              (std::set<std::string>{"PKGDIR", "images.md5", "0xC0000", "NTIM.bin"}));
}

}  // namespace
}  // namespace KIVRA
