#pragma once
// The package statement (package.sha256): what a release signs. It names the product type,
// the version and the security epoch of the package and the SHA-256 digest and size of every
// file the installer reads, as the bytes stand in the package directory (encrypted where the
// file travels encrypted). The installer and the release tool read and write it with this one
// code, so a statement one writes is a statement the other accepts.
//
//   KIVRA-PACKAGE-STATEMENT 1
//   PRODUCT_TYPE=<the manifest's>
//   KIVRA_VERSION=<the manifest's>
//   SECURITY_EPOCH=<decimal, 0 to 4294967295>
//   <64 lower-case hex digits> <decimal size> <name>
//   ...
//
// Every line ends with a line feed; nothing else separates or pads the fields.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KIVRA {
namespace package_format {

inline constexpr const char* kStatementName = "package.sha256";
inline constexpr const char* kSignatureName = "package.sha256.sig";
inline constexpr const char* kStatementHeader = "KIVRA-PACKAGE-STATEMENT 1";
// A statement is read whole into memory before its signature is checked: the bound keeps a
// hostile package from making the router read an unbounded file.
inline constexpr size_t kStatementMaxSize = size_t{64} * 1024;
inline constexpr uint32_t kSecurityEpochMax = 4294967295U;

struct StatementFile {
    std::string sha256;  // 64 lower-case hexadecimal digits
    uint64_t size = 0;
    std::string name;
};

struct Statement {
    std::string productType;
    std::string version;
    uint32_t securityEpoch = 0;
    std::vector<StatementFile> files;  // in the order of the statement

    // The line of name; nullptr when the statement does not list it.
    [[nodiscard]] const StatementFile* find(const std::string& name) const;
};

enum class StatementVerdict {
    Valid,
    TooLarge,         // more than kStatementMaxSize bytes
    BadLineEnd,       // a carriage return or a NUL byte, or a last line without its line feed
    BadHeader,        // the first line is not kStatementHeader
    BadProductType,   // line 2 is not PRODUCT_TYPE=<value>
    BadVersion,       // line 3 is not KIVRA_VERSION=<value>
    BadEpoch,         // line 4 is not SECURITY_EPOCH=<decimal 0..4294967295>, no leading zeros
    BadFileLine,      // not "<sha256> <size> <name>" with single blanks and a decimal size
    BadName,          // a name the digest list could not carry, or the statement's own files
    RepeatedName,     // a name listed twice
    NoManifestLine,   // manifest.txt is not listed
    NoDigestListLine  // images.md5 is not listed
};

struct StatementReading {
    StatementVerdict verdict = StatementVerdict::Valid;
    size_t line = 0;      // 1-based line of the fault; 0 for faults of the whole text
    std::string name;     // the file name of a BadName or RepeatedName
    Statement statement;  // complete for Valid only
};

// Reads text strictly: anything but the exact form above is refused, so two readers can never
// take one statement for two different lists. Prints nothing.
[[nodiscard]] StatementReading readStatement(const std::string& text);

// The fault of a reading in words, for the installer's log and the release tool alike:
// "package.sha256 line 5: not \"<sha256> <size> <name>\"" and the like. "" for Valid.
[[nodiscard]] std::string describe(const StatementReading& reading);

// The text of statement, which readStatement reads back as it is. The caller lists the files;
// nothing is checked here beyond what the form needs (see readStatement for the rules).
[[nodiscard]] std::string formatStatement(const Statement& statement);

// True for a name a statement can list: a name the digest list can carry (isPlainFileName),
// and neither the statement nor its signature, which cannot describe themselves.
[[nodiscard]] bool isStatementName(const std::string& name);

// True for text in the form of SECURITY_EPOCH: decimal digits, no sign, no leading zero
// (but "0"), at most kSecurityEpochMax. Sets epoch only when true.
[[nodiscard]] bool parseSecurityEpoch(const std::string& text, uint32_t& epoch);

}  // namespace package_format
}  // namespace KIVRA
