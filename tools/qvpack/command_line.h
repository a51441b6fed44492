#pragma once
// Options and operands of one qvpack subcommand.

#include <map>
#include <set>
#include <string>
#include <vector>

namespace KIVRA {
namespace qvpack {

struct CommandLine {
    std::vector<std::string> operands;
    std::multimap<std::string, std::string> options;  // option name without "--" -> value

    // The value of a single-valued option; false when it was not given.
    [[nodiscard]] bool value(const std::string& name, std::string& out) const;
    [[nodiscard]] std::vector<std::string> values(const std::string& name) const;
};

// Reads args (the words after the subcommand). Every option takes a value, given as the next
// word or after "=" ("--version 1.0", "--version=1.0"); a next word that begins with "--" is
// taken for a forgotten value, so such a value must use the "=" form. Options and operands may
// mix; "--" ends the options. repeatable names the options that may be given more than once.
// flags names options that take no value ("--json"); they are kept with an empty value.
// Throws UsageError for an unknown option, a missing value, a value given to a flag or a
// repeated single option.
[[nodiscard]] CommandLine parseCommandLine(const std::vector<std::string>& args,
                                           const std::set<std::string>& known,
                                           const std::set<std::string>& repeatable,
                                           const std::set<std::string>& flags = {});

}  // namespace qvpack
}  // namespace KIVRA
