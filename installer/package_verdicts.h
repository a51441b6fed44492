#pragma once
// The installer's side of the package rulebook (package_format/package_rules.h): each verdict
// that refuses a package becomes the code and the line of the step that meets it.

#include <optional>
#include <string>

#include "installer/kivra_installer.h"
#include "package_format/package_rules.h"

namespace KIVRA {
namespace installer {

struct Refusal {
    KivraInstaller::Error code = KivraInstaller::Failure;
    std::string message;  // "" where the step writes no line of its own (checkUpgrade)
};

// The refusal of verdict; none for a verdict the installer goes on after (a pass, a warning).
[[nodiscard]] std::optional<Refusal> refusalOf(const package_format::Verdict& verdict);

// The failure of a digest-list entry that cannot be installed, in the words of its class.
[[nodiscard]] Refusal entryRefusal(const std::string& name);

// Fails the step (installer::fail) with the verdict's refusal, if it refuses.
void refuseOn(KivraInstaller::Impl& d, const package_format::Verdict& verdict,
              const std::string& origin);

}  // namespace installer
}  // namespace KIVRA
