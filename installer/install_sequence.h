#pragma once
// The install sequence as one table, read top to bottom: each row is a step with its stable
// name, the progress line logged before it acts, the function that does it and the text the
// install level reports when it fails. KivraInstaller::install runs the rows in order and ends
// at the first that fails, with one line for it:
//   [KivraInstaller::install] <failure text> (err <code>)
// A step with more than one way to fail leaves failure empty and puts its own text into the
// run's last error.

#include "installer/kivra_installer.h"

namespace KIVRA {
namespace installer {

// What the steps of one install share; defined with the steps.
struct InstallRun;

// Where a row stands to the stop signals (stop_signals.h).
enum class StopRule {
    SafePoint,     // a stop signal noted before the row ends the run there ("Stopped by ...")
    NoSafePoint,   // the row follows its predecessor without a check
    HoldFromHere,  // a safe point; from its progress line on, the signals are held to the end
};

struct InstallStep {
    const char* name;  // stable machine name ("install_firmware"), for reports
    const char* line;  // progress line logged before the step acts, or nullptr
    KivraInstaller::Error (*run)(InstallRun& run);
    const char* failure;  // the install level's failure text, or nullptr (the step's own)
    StopRule stop;
};

// The rows, in order.
struct InstallSteps {
    const InstallStep* begin() const;
    const InstallStep* end() const;
    [[nodiscard]] int size() const { return static_cast<int>(end() - begin()); }
};
[[nodiscard]] InstallSteps installSteps();

}  // namespace installer
}  // namespace KIVRA
