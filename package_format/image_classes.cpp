#include "package_format/image_classes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace package_format {

namespace {

template <size_t N>
bool contains(const char* const (&names)[N], const std::string& name) {
    for (const char* candidate : names) {
        if (name == candidate) {
            return true;
        }
    }
    return false;
}

}  // namespace

ImageClass classifyImage(const std::string& name) {
    if (name == kInstallerProgramName) {
        return ImageClass::InstallerProgram;
    }
    if (name == kNtimName) {
        return ImageClass::NtimFile;
    }
    if (contains(kUbootImageNames, name)) {
        return ImageClass::UbootImage;
    }
    if (contains(kPlainImageNames, name)) {
        return ImageClass::PlainImage;
    }
    return ImageClass::OtherFile;
}

bool isEncryptedClass(ImageClass imageClass) {
    switch (imageClass) {
        case ImageClass::UbootImage:
        case ImageClass::PlainImage:
            return true;
        case ImageClass::InstallerProgram:
        case ImageClass::NtimFile:
        case ImageClass::OtherFile:
            return false;
    }
    return false;
}

bool hasUbootMagic(const std::string& path) {
    qvsystemtools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return false;
    }
    unsigned char head[sizeof kUbootMagic];
    return hasUbootMagic(head, qvsystemtools::readFull(fd.get(), head, sizeof head).count);
}

bool hasUbootMagic(const unsigned char* head, size_t length) {
    return length >= sizeof kUbootMagic && std::memcmp(head, kUbootMagic, sizeof kUbootMagic) == 0;
}

bool isPlainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        // The characters the list reader splits at (the classic locale's white space).
        if (c == '/' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' ||
            c == '\0') {
            return false;
        }
    }
    return true;
}

bool isSpecialEntry(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

bool isReservedName(const std::string& name) {
    return name == kManifestName || name == kDigestListName || name == kInitScriptName;
}

}  // namespace package_format
}  // namespace KIVRA
