// The two passes over the data that an installation cannot avoid, alone: each encrypted
// image decrypted into a target file, then the target's MD5 digest computed, with the same
// library calls the installer uses. install_bench.sh compares an installer run against it.
//
//   decrypt_digest_pass PASSPHRASE IN OUT [IN OUT]...
//
// Prints "<seconds>" of wall time for all passes and one digest per target.

#include <chrono>
#include <iostream>
#include <string>

#include "crypto/qv_encryption.h"
#include "package_format/file_digest.h"

int main(int argc, char* argv[]) {
    if (argc < 4 || (argc - 2) % 2 != 0) {
        std::cerr << "usage: " << argv[0] << " PASSPHRASE IN OUT [IN OUT]..." << std::endl;
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    KIVRA::QvEncryption encryption;
    if (encryption.setKey(argv[1]) != 0) {
        std::cerr << "key derivation failed" << std::endl;
        return 1;
    }
    std::string digests;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string digest;
        if (encryption.decryptFile(argv[i], argv[i + 1]) != 0 ||
            !KIVRA::package_format::md5Text(argv[i + 1], digest)) {
            std::cerr << "pass failed for " << argv[i] << std::endl;
            return 1;
        }
        digests += digest + "  " + argv[i + 1] + "\n";
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << seconds << "\n" << digests;
    return 0;
}
