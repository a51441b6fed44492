#pragma once
// Wrapping a KIVRA package into a single-file Mender artifact for a fleet rollout engine.
// The package format inside is unchanged: each package file is one payload file of the
// artifact, and the update module "kivra-package" on the router hands the directory they form
// to the installer.

#include <string>
#include <vector>

namespace KIVRA {
namespace qvpack {

// The payload type, which is also the name of the update module that installs it.
inline constexpr const char* kArtifactPayloadType = "kivra-package";

// The usage lines of "qvpack artifact", for the tool's help.
[[nodiscard]] std::string artifactUsage();

// qvpack artifact PKGDIR --device-type T... --output FILE [--key KEY] (short forms -t, -o,
// -k as mender-artifact takes them). Checks the package as verify --product T does, for each
// device type T, then runs mender-artifact.
// Returns 0; throws UsageError for a bad command line or an unknown device type, PackError for
// an invalid package, a device type of another product, a missing or failing mender-artifact.
[[nodiscard]] int runArtifact(const std::vector<std::string>& args);

}  // namespace qvpack
}  // namespace KIVRA
