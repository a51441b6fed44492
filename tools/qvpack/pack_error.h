#pragma once
// Failures of the package tool. Each becomes one "qvpack: " line on standard error.

#include <stdexcept>
#include <string>

namespace KIVRA {
namespace qvpack {

// Bad input or a failed file operation: exit status 1.
class PackError : public std::runtime_error {
public:
    explicit PackError(const std::string& message) : std::runtime_error(message) {}
};

// The machine, not the package, failed: no space left, an unreadable or unwritable work or
// output directory, a read error of the medium, a report that cannot be written. Exit status
// 3, so a pipeline never takes such a fault for a damaged package.
class MachineFault : public std::runtime_error {
public:
    explicit MachineFault(const std::string& message) : std::runtime_error(message) {}
};

// A command line the tool cannot read: exit status 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace qvpack
}  // namespace KIVRA
