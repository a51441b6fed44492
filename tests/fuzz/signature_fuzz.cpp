// The signature check on hostile bytes: a trusted-key file (as a device's directory may hold
// a damaged one) and a package signature. The input is the key text, a backslash and one more
// byte, then the signature bytes (FuzzedDataProvider's string form); the signed message is
// fixed, so the committed seed with the release key and its signature verifies.

#include "package_format/signature.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

namespace {
const std::string kMessage = "KIVRA-PACKAGE-STATEMENT 1\n";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string pem = input.ConsumeRandomLengthString(package_format::kKeyFileMaxSize);
    const std::string signature = input.ConsumeRemainingBytesAsString();
    const package_format::KeyReading key = package_format::readTrustedKey(pem);
    if (key.verdict != package_format::KeyVerdict::Usable) {
        if (!key.der.empty()) std::abort();  // a refused key must not be usable by mistake
        return 0;
    }
    if (key.bits < package_format::kMinModulusBits) std::abort();
    const bool verified = package_format::verifiesSignature(key.der, kMessage, signature);
    // Neither a truncated nor an extended signature may verify where the whole one does.
    if (verified && !signature.empty()) {
        if (package_format::verifiesSignature(key.der, kMessage, signature + '\0')) std::abort();
        if (package_format::verifiesSignature(key.der, kMessage,
                                              signature.substr(0, signature.size() - 1))) {
            std::abort();
        }
    }
    return 0;
}
