// The package statement as the installer and qvpack read it: a statement is accepted only in
// its one form, so what the reader accepts the writer gives back byte for byte.

#include "package_format/statement.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const package_format::StatementReading reading = package_format::readStatement(text);
    if (reading.verdict != package_format::StatementVerdict::Valid) {
        if (package_format::describe(reading).empty()) std::abort();  // a refusal without words
        return 0;
    }
    // Two texts read as one list would let a signed statement say two things.
    if (package_format::formatStatement(reading.statement) != text) std::abort();
    if (reading.statement.find("manifest.txt") == nullptr) std::abort();
    return 0;
}
