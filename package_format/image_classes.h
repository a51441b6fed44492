#pragma once
// The package's file classes: which digest-list names are decrypted, which are copied, which
// carry a U-Boot header, and which names a digest list can carry at all. Shared by the image
// installation and the release tool that builds packages, so both agree on every name.
// Part of the package_format library, which qvpack links without the installer.

#include <cstddef>
#include <string>

namespace KIVRA {
namespace package_format {

// Files of the package directory that are not digest-list entries.
inline constexpr const char* kManifestName = "manifest.txt";
inline constexpr const char* kDigestListName = "images.md5";
inline constexpr const char* kInitScriptName = "init.sh";

inline constexpr const char* kInstallerProgramName = "kivrainstaller";
inline constexpr const char* kNtimName = "NTIM.bin";
inline constexpr const char* kUbootImageNames[] = {"rootfs.sqfs.uboot", "uImage", "uImage.recovery",
                                                   "initramfs.recovery"};
inline constexpr const char* kPlainImageNames[] = {"zImage", "rootfs.sqfs", "zImage.recovery",
                                                   "dtb.recovery"};

// The U-Boot legacy image magic 0x27051956, stored big-endian at the start of the image.
inline constexpr unsigned char kUbootMagic[4] = {0x27, 0x05, 0x19, 0x56};

enum class ImageClass {
    InstallerProgram,  // verified in the package directory, left in place
    NtimFile,          // copied to the temporary directory
    UbootImage,        // decrypted, header magic checked
    PlainImage,        // decrypted
    OtherFile,         // copied unchanged
};

// Class of a digest-list name: exact, case-sensitive comparison in the order of the enum.
[[nodiscard]] ImageClass classifyImage(const std::string& name);

// True for the two image groups, which travel encrypted.
[[nodiscard]] bool isEncryptedClass(ImageClass imageClass);

// True when the file at path begins with kUbootMagic; false when it is shorter, unreadable
// or missing.
[[nodiscard]] bool hasUbootMagic(const std::string& path);

// The same test on the first length bytes of an image, seen as they stream past.
[[nodiscard]] bool hasUbootMagic(const unsigned char* head, size_t length);

// True when name can stand in a digest list as a file of the package directory: not empty,
// not "." or "..", without "/" (it would leave the directory), without white space (the
// list is split at white space, so the name would be read as other tokens) and without a NUL
// byte (a path cut short at it would name another file than the one classified).
[[nodiscard]] bool isPlainFileName(const std::string& name);

// True when something other than a regular file stands at path itself (a link, whatever it
// points to, a directory, a FIFO, a device node); false for a regular file or nothing. Package
// entries are read only as regular files of the package directory: a link would be followed
// to any file of the device, and a FIFO or a device node would block the run or never end.
[[nodiscard]] bool isSpecialEntry(const std::string& path);

// True for the names of the package's own files (manifest, digest list, pre-install script),
// which a digest list cannot carry as entries.
[[nodiscard]] bool isReservedName(const std::string& name);

}  // namespace package_format
}  // namespace KIVRA
