// shellQuote: whatever the bytes, /bin/sh gets back exactly them as one word.

#include "qvsystemtools/command.h"
#include "tests/fuzz/fuzz_support.h"

using namespace KIVRA;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A command line is a C string: the bytes up to the first NUL are all a word can hold.
    std::string word(reinterpret_cast<const char*>(data), size);
    word = word.substr(0, word.find('\0'));
    int status = -1;
    const std::string echoed = qvsystemtools::execCommand(
        "printf '%s' " + qvsystemtools::shellQuote(word) + " 2>&1", status, 0);
    if (status != 0 || echoed != word) std::abort();
    return 0;
}
