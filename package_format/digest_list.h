#pragma once
// The package's digest list (images.md5 in plain form): white-space separated tokens taken in
// pairs, an MD5 digest and then the name of a file of the package directory. The installer
// and the release tool read it with this one reader, so both agree on every entry.

#include <istream>
#include <string>

namespace KIVRA {
namespace package_format {

struct DigestListEntry {
    std::string digest;
    std::string name;
};

class DigestListReader {
public:
    enum class Next {
        Entry,        // entry holds the next pair
        End,          // no token is left
        MissingName,  // the last digest has no file name after it
        ReadError,    // the list could not be read to its end; it must not pass for a shorter one
    };

    explicit DigestListReader(std::istream& list) : list_(list) {}

    // Reads the next pair into entry. For MissingName entry holds the lone digest and an empty
    // name; for End and ReadError entry is unchanged.
    [[nodiscard]] Next next(DigestListEntry& entry);

private:
    std::istream& list_;
};

// True for 32 lower-case hexadecimal digits, the form the release tool writes a digest in.
[[nodiscard]] bool isDigestText(const std::string& text);

}  // namespace package_format
}  // namespace KIVRA
