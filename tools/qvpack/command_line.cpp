#include "tools/qvpack/command_line.h"

#include "tools/qvpack/pack_error.h"

namespace KIVRA {
namespace qvpack {

bool CommandLine::value(const std::string& name, std::string& out) const {
    const auto it = options.find(name);
    if (it == options.end()) {
        return false;
    }
    out = it->second;
    return true;
}

std::vector<std::string> CommandLine::values(const std::string& name) const {
    std::vector<std::string> result;
    const auto range = options.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
        result.push_back(it->second);
    }
    return result;
}

CommandLine parseCommandLine(const std::vector<std::string>& args,
                             const std::set<std::string>& known,
                             const std::set<std::string>& repeatable,
                             const std::set<std::string>& flags) {
    CommandLine line;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // No option has a one-letter form: "-j" is a mistyped option, not a file name (a file
        // whose name begins with "-" follows "--").
        if (!optionsEnded && arg.size() >= 2 && arg[0] == '-' && arg[1] != '-') {
            throw UsageError("unknown option " + arg);
        }
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            line.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name = arg.substr(2, equals == std::string::npos ? equals : equals - 2);
        const bool flag = flags.count(name) != 0;
        if (known.count(name) == 0 && !flag) {
            throw UsageError("unknown option --" + name);
        }
        std::string value;
        if (flag) {
            if (equals != std::string::npos) {
                throw UsageError("option --" + name + " takes no value");
            }
        } else if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size() && args[i + 1].compare(0, 2, "--") != 0) {
            value = args[++i];
        } else {
            throw UsageError("option --" + name + " needs a value");
        }
        if (repeatable.count(name) == 0 && line.options.count(name) != 0) {
            throw UsageError("option --" + name + " given twice");
        }
        line.options.emplace(name, value);
    }
    return line;
}

}  // namespace qvpack
}  // namespace KIVRA
