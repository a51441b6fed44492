#pragma once
// The run driver: turns the command line into one installation run and an exit status.

namespace KIVRA {

// Exit status: 0 installed (or the deprecated dry run), 1 bad arguments or a failed run,
// 2 installed and the radio module needs an update.
[[nodiscard]] int runInstaller(int argc, char* argv[]);

}  // namespace KIVRA
