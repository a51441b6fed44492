#include "package_format/digest_list.h"

#include <utility>

namespace KIVRA {
namespace package_format {

DigestListReader::Next DigestListReader::next(DigestListEntry& entry) {
    std::string digest;
    std::string name;
    if (!(list_ >> digest)) {
        return list_.bad() ? Next::ReadError : Next::End;
    }
    if (!(list_ >> name)) {
        if (list_.bad()) {
            return Next::ReadError;
        }
        entry.digest = std::move(digest);
        entry.name.clear();
        return Next::MissingName;
    }
    entry.digest = std::move(digest);
    entry.name = std::move(name);
    return Next::Entry;
}

bool isDigestText(const std::string& text) {
    if (text.size() != 32) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace package_format
}  // namespace KIVRA
