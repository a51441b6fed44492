// qvenv: prints and sets variables of a VPD record (the boot environment by default), for
// device and test engineers.
//
//   qvenv [--file FILE [--offsets A,B] | --type N] [--header] print [-n NAME | NAME...]
//   qvenv [--file FILE [--offsets A,B] | --type N] set NAME [VALUE]
//   qvenv [--file FILE [--offsets A,B] | --type N] set --script SCRIPT
//
// --type N works on the two flash copies of record type N (0, 1 or 2; 2, the boot
// environment, is the default) exactly as the installer does: the newer valid copy is read,
// and a change is written over the older copy with the next generation flag; with no valid
// copy (erased or damaged flash) a set is refused and flash is left alone. --file FILE
// works on one record file; its flag stays as it is. A set on a file that does not exist
// starts from an empty record with flag 0 and creates the file (the record's only user then
// being the tester), whereas a file with a bad CRC is refused rather than replaced.
// --file FILE --offsets A,B works on the two copies inside a flash dump (an image of the
// flash read out of a device) by the same rules as --type: the dump is what fw_printenv and
// fw_setenv see with a configuration naming FILE at A and at B.
//
// Exit status 0 on success, 1 on any failure with "qvenv: <reason>" on standard error (a
// print of an undefined NAME prints "## Error: "NAME" not defined" and also ends with 1), 2
// for a command line that cannot be run, with one line.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qvsystemtools/dir_ops.h"
#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"
#include "qvsystemtools/work_dir.h"
#include "vpd/env_update.h"
#include "vpd/vpd_error_text.h"
#include "vpd/vpd_handler.h"
#include "vpd/vpd_updater.h"

namespace KIVRA {
namespace {

using Error = VpdUpdater::VpdUpdaterError;
using Changes = std::vector<std::pair<std::string, std::string>>;
constexpr uint32_t kRecordSize = VpdUpdater::kRecordSize;

const char* const kUsage =
    "Usage: qvenv [--file FILE [--offsets A,B] | --type N] [--header] print [-n NAME | NAME...]\n"
    "       qvenv [--file FILE [--offsets A,B] | --type N] set NAME [VALUE]\n"
    "       qvenv [--file FILE [--offsets A,B] | --type N] set --script SCRIPT\n"
    "       qvenv --help | --version\n"
    "\n"
    "Prints or sets variables of a VPD record: by default the boot environment kept as two\n"
    "copies in flash (type 2 on /dev/mtd0 at 0xC0000).\n"
    "\n"
    "  --type N       the two flash copies of record type N: 0 or 1 at 0x1E0000, 2 at 0xC0000;\n"
    "                 the newer copy is read, a change goes over the older one with the next\n"
    "                 flag (working files /tmp/vpd1.bin and /tmp/vpd2.bin)\n"
    "  --file FILE    one record file; its flag is kept; set on a missing file creates it\n"
    "  --offsets A,B  with --file: FILE is a flash dump holding the two copies at byte\n"
    "                 offsets A and B (decimal or 0x hex), read and written as with --type\n"
    "  --header       print also the CRC and the flag of the record\n"
    "  print          all variables, or only the NAMEs given; -n NAME prints the value only\n"
    "  set            sets NAME to VALUE; without VALUE removes NAME\n"
    "  --script FILE  set every variable of FILE in one write: a line \"NAME VALUE\" sets,\n"
    "                 \"NAME\" alone removes; empty lines and lines starting with # are skipped\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 2 for a bad command line.\n";

struct Options {
    bool useFile = false;
    std::string file;
    bool typeGiven = false;
    VpdType type = VpdTypeBootEnv;
    bool offsetsGiven = false;
    uint32_t offsets[2] = {0, 0};
    bool header = false;
    bool help = false;
    bool version = false;
    bool valueOnly = false;  // print -n
    std::string command;
    std::vector<std::string> operands;  // print: the names; set: NAME [VALUE]
    std::string script;                 // set --script
};

// A command line that cannot be run: exit status 2.
struct UsageError {
    std::string text;
};

// A failure with its reason, naming the file where there is one: exit status 1.
struct Failure {
    std::string text;
};

std::string errnoText(int error) { return std::strerror(error); }

// A name the record can hold: the record stores "NAME=VALUE", so "=" would move the split.
void checkName(const std::string& name, const std::string& where) {
    if (name.empty()) {
        throw Failure{where + "empty variable name"};
    }
    if (name.find('=') != std::string::npos) {
        throw Failure{where + "variable name \"" + name + "\" holds \"=\""};
    }
}

bool parseOffset(const std::string& text, uint32_t& offset) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || value > UINT32_MAX - kRecordSize) {
        return false;
    }
    offset = static_cast<uint32_t>(value);
    return true;
}

Options parseArguments(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--file") {
            if (i + 1 >= argc) {
                throw UsageError{"--file needs a file name"};
            }
            options.useFile = true;
            options.file = argv[++i];
        } else if (arg == "--type") {
            if (i + 1 >= argc) {
                throw UsageError{"--type needs a number"};
            }
            const std::string number = argv[++i];
            if (number != "0" && number != "1" && number != "2") {
                throw UsageError{"--type " + number + ": must be 0, 1 or 2"};
            }
            options.typeGiven = true;
            options.type = static_cast<VpdType>(number[0] - '0');
        } else if (arg == "--offsets") {
            if (i + 1 >= argc) {
                throw UsageError{"--offsets needs A,B"};
            }
            const std::string pair = argv[++i];
            const auto comma = pair.find(',');
            if (comma == std::string::npos ||
                !parseOffset(pair.substr(0, comma), options.offsets[0]) ||
                !parseOffset(pair.substr(comma + 1), options.offsets[1])) {
                throw UsageError{"--offsets " + pair + ": expected two byte offsets A,B"};
            }
            const uint32_t a = options.offsets[0];
            const uint32_t b = options.offsets[1];
            if ((a > b ? a - b : b - a) < kRecordSize) {
                throw UsageError{"--offsets " + pair + ": the copies overlap (each is " +
                                 std::to_string(kRecordSize) + " bytes)"};
            }
            options.offsetsGiven = true;
        } else if (arg == "--header") {
            options.header = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (arg == "--version") {
            options.version = true;
            return options;
        } else if (arg == "--") {
            ++i;
            break;
        } else if (!arg.empty() && arg[0] == '-') {
            throw UsageError{"unknown option " + arg};
        } else {
            break;
        }
    }
    if (options.useFile && options.typeGiven) {
        throw UsageError{"--file and --type exclude each other"};
    }
    if (options.useFile && options.file.empty()) {
        throw UsageError{"--file needs a file name"};
    }
    if (options.offsetsGiven && !options.useFile) {
        throw UsageError{"--offsets needs --file FILE, the flash dump"};
    }
    if (i >= argc) {
        throw UsageError{"no command given"};
    }
    options.command = argv[i++];
    std::vector<std::string> words(argv + i, argv + argc);
    if (options.command == "print") {
        if (!words.empty() && words[0] == "-n") {
            if (words.size() != 2) {
                throw UsageError{"print -n takes exactly one NAME"};
            }
            options.valueOnly = true;
            words.erase(words.begin());
        }
        options.operands = words;
        return options;
    }
    if (options.command == "set") {
        if (!words.empty() && words[0] == "--script") {
            if (words.size() != 2) {
                throw UsageError{"set --script takes exactly one FILE"};
            }
            options.script = words[1];
            return options;
        }
        if (words.empty() || words.size() > 2) {
            throw UsageError{"set takes NAME and at most one VALUE (quote a value with blanks)"};
        }
        options.operands = words;
        return options;
    }
    throw UsageError{"unknown command " + options.command};
}

// The changes a set asks for: NAME [VALUE] or the lines of the script.
Changes readChanges(const Options& options) {
    Changes changes;
    if (options.script.empty()) {
        checkName(options.operands[0], "");
        changes.emplace_back(options.operands[0],
                             options.operands.size() > 1 ? options.operands[1] : "");
        return changes;
    }
    std::ifstream in(options.script, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        throw Failure{options.script + ": " + errnoText(errno)};
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        const auto nameEnd = line.find_first_of(" \t", start);
        const std::string name = line.substr(start, nameEnd - start);
        std::string value;
        if (nameEnd != std::string::npos) {
            const auto valueStart = line.find_first_not_of(" \t", nameEnd);
            if (valueStart != std::string::npos) {
                value = line.substr(valueStart);
            }
        }
        checkName(name, options.script + ":" + std::to_string(number) + ": ");
        changes.emplace_back(name, value);
    }
    if (in.bad()) {
        throw Failure{options.script + ": read error"};
    }
    return changes;
}

// The updater's code as the installer words it, behind what it concerns.
[[noreturn]] void fail(const std::string& where, Error error) {
    const char* text = vpdErrorText(error);
    throw Failure{where + (text != nullptr ? text : kUnknownVpdErrorText)};
}

void check(const std::string& where, Error error) {
    if (error != VpdUpdater::VpdOk) {
        fail(where, error);
    }
}

// A record filled to its last byte has no empty string to end its list: the installer reads
// it, but fw_printenv then rejects the whole environment. So a change must leave that byte.
void requireEndMark(const VpdUpdater& updater, const std::string& where) {
    const size_t needed = updater.entryBytes() + 1;
    if (needed > VpdUpdater::kAreaSize) {
        const size_t over = needed - VpdUpdater::kAreaSize;
        throw Failure{where + "no room left for the end of the record: " + std::to_string(over) +
                      (over == 1 ? " byte" : " bytes") + " over"};
    }
}

// Prints the loaded record; false when a NAME asked for is not defined.
bool printRecord(const VpdUpdater& updater, const Options& options) {
    if (options.valueOnly) {
        std::string value;
        if (updater.getValue(options.operands[0], value) != VpdUpdater::VpdOk) {
            std::cout << "## Error: \"" << options.operands[0] << "\" not defined\n";
            return false;
        }
        std::cout << value << "\n";
        return true;
    }
    if (options.operands.empty()) {
        updater.print(0, options.header);
        return true;
    }
    return updater.printValues(options.operands, 0, options.header);
}

// What stands at path for a record file: nothing (false), a regular file of exactly one
// record, or a device; anything else is named as the failure.
bool examineRecordFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int error = errno;
        // A link to nothing is not a missing record: a set would create a file wherever it
        // points.
        if (error == ENOENT && ::lstat(path.c_str(), &st) != 0) {
            return false;
        }
        throw Failure{path + ": " +
                      (error == ENOENT ? std::string("a link to nothing") : errnoText(error))};
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        throw Failure{path + ": not a regular file"};
    }
    if (static_cast<uint64_t>(st.st_size) != kRecordSize) {
        throw Failure{path + ": " + std::to_string(st.st_size) + " bytes; a record is " +
                      std::to_string(kRecordSize) + " bytes (a flash dump needs --offsets A,B)"};
    }
    return true;
}

// Runs the command on a record file; true when it succeeded.
bool runOnFile(const Options& options) {
    const std::string where = options.file + ": ";
    const bool exists = examineRecordFile(options.file);
    VpdUpdater updater(VpdTypeGeneric, options.file);
    if (options.command == "print") {
        if (!exists) {
            throw Failure{where + "no such file"};
        }
        check(where, updater.load());
        return printRecord(updater, options);
    }
    const Changes changes = readChanges(options);
    if (exists) {
        check(where, updater.load());
    }
    updater.setProtected(false);
    for (const auto& [name, value] : changes) {
        check(where + name + ": ", updater.setValue(name, value));
    }
    requireEndMark(updater, where);
    check(where, updater.save());
    return true;
}

std::string hexText(uint32_t value) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

void readAt(int fd, std::string& bytes, uint32_t offset, const std::string& path) {
    bytes.assign(kRecordSize, '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pread(fd, &bytes[done], bytes.size() - done,
                                  static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw Failure{path + ": cannot read the copy at " + hexText(offset) + ": " +
                          (n < 0 ? errnoText(errno) : std::string("the dump ends before it"))};
        }
        done += static_cast<size_t>(n);
    }
}

void writeRecordFile(const std::string& path, const std::string& bytes) {
    qvsystemtools::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid() || !qvsystemtools::writeAllFd(fd.get(), bytes.data(), bytes.size()) ||
        fd.close() != 0) {
        throw Failure{"cannot write " + path + ": " + errnoText(errno)};
    }
}

// Runs the command on the two copies inside a flash dump, by the rules of the flash copies.
bool runOnDump(const Options& options) {
    const std::string& path = options.file;
    const bool print = options.command == "print";
    const Changes changes = print ? Changes() : readChanges(options);
    qvsystemtools::UniqueFd dump(::open(path.c_str(), (print ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    struct stat st {};
    if (!dump.valid() || ::fstat(dump.get(), &st) != 0) {
        throw Failure{path + ": " +
                      (errno == ENOENT ? std::string("no such file") : errnoText(errno))};
    }
    const uint64_t needed =
        static_cast<uint64_t>(std::max(options.offsets[0], options.offsets[1])) + kRecordSize;
    if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) < needed) {
        throw Failure{path + ": " + std::to_string(st.st_size) + " bytes; copies at " +
                      hexText(options.offsets[0]) + " and " + hexText(options.offsets[1]) +
                      " need " + std::to_string(needed)};
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) {
        throw Failure{path + ": not a regular file"};
    }

    // A private directory for the two copies and the record built from them.
    const qvsystemtools::WorkDir dir("qvenv");
    if (!dir.valid()) {
        throw Failure{dir.failureText()};
    }
    const auto copyFile = [&dir](int copy) {
        return dir.path() + "/copy" + std::to_string(copy) + ".bin";
    };
    bool valid[2] = {false, false};
    uint8_t flag[2] = {0, 0};
    for (int copy = 0; copy < 2; ++copy) {
        std::string bytes;
        readAt(dump.get(), bytes, options.offsets[copy], path);
        writeRecordFile(copyFile(copy), bytes);
        VpdUpdater probe(VpdTypeGeneric, copyFile(copy));
        valid[copy] = probe.load() == VpdUpdater::VpdOk;
        flag[copy] = probe.getFlag();
    }
    const int chosen = chooseVpdCopy(valid[0], flag[0], valid[1], flag[1]);
    if (chosen == 0) {
        throw Failure{path + ": no valid copy at " + hexText(options.offsets[0]) + " or " +
                      hexText(options.offsets[1]) + " (erased or damaged)"};
    }
    const int source = chosen - 1;
    VpdUpdater updater(VpdTypeGeneric, copyFile(source));
    check(path + ": ", updater.load());
    if (print) {
        return printRecord(updater, options);
    }

    // The newer copy stays as it is, so a write cut short leaves the dump as a boot loader
    // would still read it.
    const int target = 1 - source;
    updater.setProtected(false);
    for (const auto& [name, value] : changes) {
        check(path + ": " + name + ": ", updater.setValue(name, value));
    }
    requireEndMark(updater, path + ": ");
    updater.setFlag(static_cast<uint8_t>(flag[source] + 1));
    const std::string built = copyFile(2);
    updater.setPath(built);
    check(path + ": ", updater.save());
    std::string record;
    {
        qvsystemtools::UniqueFd in(::open(built.c_str(), O_RDONLY | O_CLOEXEC));
        if (!in.valid() || qvsystemtools::readToEnd(in.get(), record) != 0 ||
            record.size() != kRecordSize) {
            throw Failure{"cannot read back " + built};
        }
    }
    const off_t at = static_cast<off_t>(options.offsets[target]);
    size_t done = 0;
    while (done < record.size()) {
        const ssize_t n =
            ::pwrite(dump.get(), record.data() + done, record.size() - done, at + done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw Failure{path + ": cannot write the copy at " + hexText(options.offsets[target]) +
                          ": " + errnoText(n < 0 ? errno : ENOSPC)};
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(dump.get()) != 0) {
        throw Failure{path + ": cannot write the copy at " + hexText(options.offsets[target]) +
                      ": " + errnoText(errno)};
    }
    std::string back;
    readAt(dump.get(), back, options.offsets[target], path);
    if (back != record) {
        throw Failure{path + ": the copy at " + hexText(options.offsets[target]) +
                      " reads back different"};
    }
    return true;
}

// Runs the command on the two flash copies of a record type.
bool runOnFlash(const Options& options) {
    if (options.command == "print") {
        VpdHandler handler(options.type, VpdHandler::kUpdateOlderCopy);
        check("", handler.readNand());
        check("", handler.load(VpdHandler::kProtected, VpdHandler::kRefuseBadCrc));
        return printRecord(handler.getUpdater(), options);
    }
    // The installer's own update: with no valid copy it is refused, never replaced by a
    // record that holds only these variables.
    check("", setFlashVariables(options.type, readChanges(options),
                                [](const VpdUpdater& updater) { requireEndMark(updater, ""); }));
    return true;
}

int run(int argc, char** argv) {
    Options options;
    try {
        options = parseArguments(argc, argv);
    } catch (const UsageError& usage) {
        std::cerr << "qvenv: " << usage.text << " (see qvenv --help)" << std::endl;
        return 2;
    }
    if (options.help || options.version) {
        std::cout << (options.help ? kUsage : "qvenv " QV_PROJECT_VERSION "\n");
        return std::cout.flush() ? 0 : 1;
    }
    bool ok = false;
    try {
        if (!options.useFile) {
            ok = runOnFlash(options);
        } else if (options.offsetsGiven) {
            ok = runOnDump(options);
        } else {
            ok = runOnFile(options);
        }
    } catch (const Failure& failure) {
        std::cerr << "qvenv: " << failure.text << std::endl;
        return 1;
    } catch (const Error& error) {
        const char* text = vpdErrorText(error);
        std::cerr << "qvenv: " << (text != nullptr ? text : kUnknownVpdErrorText) << std::endl;
        return 1;
    }
    if (!std::cout.flush()) {
        std::cerr << "qvenv: cannot write the output" << std::endl;
        return 1;
    }
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace KIVRA

int main(int argc, char** argv) {
    try {
        return KIVRA::run(argc, argv);
    } catch (...) {
        std::cerr << "qvenv: " << KIVRA::kUnknownVpdErrorText << std::endl;
        return 1;
    }
}
