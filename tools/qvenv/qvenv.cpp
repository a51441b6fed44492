// qvenv: prints and sets variables of a VPD record (the boot environment by default), for
// device and test engineers.
//
//   qvenv [--file FILE | --type N] [--header] print [NAME...]
//   qvenv [--file FILE | --type N] set NAME [VALUE]
//
// --type N works on the two flash copies of record type N (0, 1 or 2; 2, the boot
// environment, is the default) exactly as the installer does: the newer valid copy is read,
// and a change is written over the older copy with the next generation flag; with no valid
// copy (erased or damaged flash) a set is refused and flash is left alone. --file FILE
// works on one record file; its flag stays as it is. A set on a file that does not exist
// starts from an empty record with flag 0 and creates the file (the record's only user then
// being the tester), whereas a file with a bad CRC is refused rather than replaced.
//
// Exit status 0 on success, 1 on any failure with "qvenv: <reason>" on standard error; a
// print of an undefined NAME prints "## Error: "NAME" not defined" and also ends with 1.

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "vpd/env_update.h"
#include "vpd/vpd_error_text.h"
#include "vpd/vpd_handler.h"
#include "vpd/vpd_updater.h"

namespace KIVRA {
namespace {

using Error = VpdUpdater::VpdUpdaterError;

const char* const kUsage =
    "Usage: qvenv [--file FILE | --type N] [--header] print [NAME...]\n"
    "       qvenv [--file FILE | --type N] set NAME [VALUE]\n"
    "       qvenv --help\n"
    "\n"
    "Prints or sets variables of a VPD record: by default the boot environment kept as two\n"
    "copies in flash (type 2 on /dev/mtd0 at 0xC0000).\n"
    "\n"
    "  --type N     the two flash copies of record type N: 0 or 1 at 0x1E0000, 2 at 0xC0000;\n"
    "               the newer copy is read, a change goes over the older one with the next\n"
    "               flag (working files /tmp/vpd1.bin and /tmp/vpd2.bin)\n"
    "  --file FILE  one record file; its flag is kept; set on a missing file creates it\n"
    "  --header     print also the CRC and the flag of the record\n"
    "  print        all variables, or only the NAMEs given\n"
    "  set          sets NAME to VALUE; without VALUE removes NAME\n"
    "\n"
    "Exit status: 0 on success, 1 on failure.\n";

struct Options {
    bool useFile = false;
    std::string file;
    bool typeGiven = false;
    VpdType type = VpdTypeBootEnv;
    bool header = false;
    bool help = false;
    std::string command;
    std::vector<std::string> operands;
};

// Thrown for a command line that cannot be run; the text goes before the usage.
struct UsageError {
    std::string text;
};

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
                throw UsageError{"--type must be 0, 1 or 2"};
            }
            options.typeGiven = true;
            options.type = static_cast<VpdType>(number[0] - '0');
        } else if (arg == "--header") {
            options.header = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
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
    if (i >= argc) {
        throw UsageError{"no command given"};
    }
    options.command = argv[i++];
    for (; i < argc; ++i) {
        options.operands.emplace_back(argv[i]);
    }
    if (options.command == "print") {
        return options;
    }
    if (options.command == "set") {
        if (options.operands.empty() || options.operands.size() > 2) {
            throw UsageError{"set takes NAME and at most one VALUE (quote a value with blanks)"};
        }
        return options;
    }
    throw UsageError{"unknown command " + options.command};
}

// Prints the loaded record; false when a NAME asked for is not defined.
bool printRecord(const VpdUpdater& updater, const Options& options) {
    if (options.operands.empty()) {
        updater.print(0, options.header);
        return true;
    }
    return updater.printValues(options.operands, 0, options.header);
}

// Runs the command on a record file; true when it succeeded, failures thrown as codes.
bool runOnFile(const Options& options) {
    VpdUpdater updater(VpdTypeGeneric, options.file);
    if (options.command == "print") {
        VpdUpdater::throwOnError(updater.load());
        return printRecord(updater, options);
    }
    struct stat st {};
    const bool missing = ::lstat(options.file.c_str(), &st) != 0 && errno == ENOENT;
    if (!missing) {
        VpdUpdater::throwOnError(updater.load());
    }
    updater.setProtected(false);
    const std::string value = options.operands.size() > 1 ? options.operands[1] : "";
    VpdUpdater::throwOnError(updater.setValue(options.operands[0], value));
    VpdUpdater::throwOnError(updater.save());
    return true;
}

// Runs the command on the two flash copies of a record type.
bool runOnFlash(const Options& options) {
    if (options.command == "print") {
        VpdHandler handler(options.type, 1);
        VpdUpdater::throwOnError(handler.readNand());
        VpdUpdater::throwOnError(handler.load(true, false));
        return printRecord(handler.getUpdater(), options);
    }
    const std::string value = options.operands.size() > 1 ? options.operands[1] : "";
    // The installer's own update: with no valid copy it is refused, never replaced by a
    // record that holds only this variable.
    VpdUpdater::throwOnError(setFlashVariable(options.type, options.operands[0], value));
    return true;
}

int run(int argc, char** argv) {
    Options options;
    try {
        options = parseArguments(argc, argv);
    } catch (const UsageError& usage) {
        std::cerr << "qvenv: " << usage.text << "\n" << kUsage;
        return 1;
    }
    if (options.help) {
        std::cout << kUsage;
        return std::cout.flush() ? 0 : 1;
    }
    bool ok = false;
    try {
        ok = options.useFile ? runOnFile(options) : runOnFlash(options);
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
