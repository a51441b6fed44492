#pragma once
// Packages made inside a test, and the tools around them: the one package builder, the one
// way to run qvpack, the one MD5 oracle and the U-Boot magic as the product defines it.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace KIVRA {
namespace testing {

// The U-Boot legacy header magic, taken from the product's constant (package_format).
std::string ubootMagic();
// An image of length bytes that opens with the U-Boot magic, the rest deterministic.
std::string ubootImage(size_t length, unsigned seed);

// The digest of data as coreutils md5sum gives it: an oracle apart from the product's digest
// code, so a fault there cannot hide by agreeing with itself.
std::string md5Of(const std::string& data);
// md5sum's lines for the files names of dir ("DIGEST  NAME"), in one run: a digest list as
// the release tool writes it.
std::string md5sumList(const std::string& dir, const std::vector<std::string>& names);

// plain encrypted into path under passphrase (the package version), as the release tool does.
void writeEncrypted(const std::string& path, const std::string& plain,
                    const std::string& passphrase = "");
// The plain content of the encrypted file at path.
std::string readDecrypted(const std::string& path, const std::string& passphrase);

// Runs the release tool qvpack with args (its command first: "create", "verify" ...).
ProcessResult qvpack(const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {});
// The command line that runs qvpack with args, for programs that start it (sh, strace).
std::vector<std::string> qvpackCommand(const std::vector<std::string>& args);

// Runs openssl with args (keys and signatures made as a release engineer makes them).
ProcessResult openssl(const std::vector<std::string>& args);
// openssl with args, which must succeed (a test that cannot make its keys fails there).
void requireOpenssl(const std::vector<std::string>& args);

// An ISO 9660 image at path whose /etc/manifest.txt holds manifest (none when null), as the
// radio store keeps them.
void makeIso(const std::string& path, const char* manifest, mode_t manifestMode = 0644);

// A package in dir, made from plain source files in sourceDir by qvpack create, or written by
// hand file by file (as create never would), encrypted under version either way.
class PackageBuilder {
public:
    PackageBuilder(std::string sourceDir, std::string dir)
        : sourceDir(std::move(sourceDir)), dir(std::move(dir)) {}

    std::string sourceDir;
    std::string dir;
    std::string version = "4.2.0";      // KIVRA_VERSION, and the key of every encrypted file
    std::string productType = "BIRCH";  // PRODUCT_TYPE
    std::vector<std::string> sets;      // more manifest entries, KEY=VALUE
    std::string initScript;             // the pre-install script's text; none when empty

    // Adds (or replaces) the plain source file name, in the order given.
    void source(const std::string& name, const std::string& content, mode_t mode = 0644);
    const std::vector<std::string>& names() const { return names_; }
    std::vector<std::string> sourcePaths() const;
    std::string initScriptPath() const { return sourceDir + "/init.sh"; }

    // qvpack create of every source into out (dir when empty); createArgs gives its arguments
    // (the init script written) for a caller that starts qvpack itself.
    ProcessResult create(const std::string& out = "") const;
    std::vector<std::string> createArgs(const std::string& out = "") const;

    // By hand, into dir (made when missing).
    std::string path(const std::string& name) const { return dir + "/" + name; }
    void manifest(const std::string& text) const;
    void encrypted(const std::string& name, const std::string& plain) const;
    void digestList(const std::string& plain) const { encrypted("images.md5", plain); }
    std::string decrypted(const std::string& name) const;

private:
    std::vector<std::string> names_;
};

}  // namespace testing
}  // namespace KIVRA
