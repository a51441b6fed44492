#pragma once
// Which digest-list entries a package can deliver: the one rule the installer and the release
// tool apply to every entry, each deciding for itself which verdicts end its work.

#include <istream>
#include <string>

#include "package_format/digest_list.h"
#include "package_format/image_classes.h"

namespace KIVRA {
namespace package_format {

enum class EntryVerdict {
    Accepted,     // a regular file of the package directory
    BadName,      // not a plain file name (isPlainFileName): it would leave the directory
    ListItself,   // the digest list naming itself: its staged copy would be its own target
    PackageFile,  // a regular file named manifest.txt or init.sh, the package's own files
    Missing,      // nothing stands at the name
    NotRegular,   // a link (whatever it points to), a directory, a FIFO, a device node, a socket
    Unreadable,   // the entry cannot be examined (error holds the reason)
};

struct EntryAcceptance {
    EntryVerdict verdict = EntryVerdict::Accepted;
    ImageClass imageClass = ImageClass::OtherFile;
    int error = 0;  // errno of the failed examination, for Unreadable
};

// The verdict on the entry name of the digest list, whose file is packageDir + "/" + name.
// The entry itself is examined, never what a link points to: a link would be followed to any
// file of the device, a FIFO or a device node would block the reader or never end.
[[nodiscard]] EntryAcceptance acceptEntry(const std::string& packageDir, const std::string& name);

// True for NotRegular and Unreadable: the entry names something that is there but that no
// package file can be. A package with such an entry is refused before any of its files is
// used, so a refusal never comes after other images are staged and their package files gone.
[[nodiscard]] bool isUndeliverable(EntryVerdict verdict);

// Reads the plain digest list from its current position and finds the first entry whose
// verdict isUndeliverable. Stops without a finding at the end of the list and at the first
// entry a reader of the list must refuse in its own place (a digest without a name, a read
// error, a bad name, the list itself, a
// file of the package's own), so that failure keeps its place and its message.
// True with entry and acceptance set when such an entry comes first.
[[nodiscard]] bool findUndeliverableEntry(std::istream& list, const std::string& packageDir,
                                          DigestListEntry& entry, EntryAcceptance& acceptance);

}  // namespace package_format
}  // namespace KIVRA
