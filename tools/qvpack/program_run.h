#pragma once
// Running the outside programs qvpack hands work to (mender-artifact, openssl) as a shell
// would find them, without a shell: the words reach the program as they are.

#include <string>
#include <vector>

namespace KIVRA {
namespace qvpack {

// The executable file name found through PATH, as a shell finds it; "" when there is none.
[[nodiscard]] std::string findOnPath(const std::string& name);

// Runs argv[0] found through PATH and waits for it. Returns its wait status; throws PackError
// when it is not installed ("... is not installed (Debian package debianPackage)") or cannot
// be started or waited for.
[[nodiscard]] int runTool(const std::vector<std::string>& argv, const std::string& debianPackage);

// "status N" or "signal N" of a wait status, for the failure line of a tool that failed.
[[nodiscard]] std::string exitText(int status);

}  // namespace qvpack
}  // namespace KIVRA
