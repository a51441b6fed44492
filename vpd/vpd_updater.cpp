#include "vpd/vpd_updater.h"
#include "vpd/vpd_boundary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "qvsystemtools/file_io.h"
#include "qvsystemtools/unique_fd.h"
#include "vpd/crc32.h"

namespace KIVRA {

using qvsystemtools::UniqueFd;

struct VpdUpdater::State {
    std::string path;
    uint32_t crc = 0;
    uint8_t flag = 0;
    std::vector<uint8_t> area;  // empty until load or pack needs it, then kAreaSize bytes
    bool packed = false;
    bool protectExisting = true;
    std::vector<std::pair<std::string, std::string>> entries;
    std::map<std::string, uint32_t> requiredBits;
    uint32_t requiredMask = 0;
};

namespace {

// Splits the entry area into key=value pairs. A string without "=" is skipped; an empty
// string ends the list; a string running into the end of the area ends there.
std::vector<std::pair<std::string, std::string>> parseArea(const std::vector<uint8_t>& area) {
    std::vector<std::pair<std::string, std::string>> entries;
    const char* base = reinterpret_cast<const char*>(area.data());
    const size_t size = area.size();
    size_t p = 0;
    while (p < size) {
        const void* nul = std::memchr(base + p, '\0', size - p);
        const size_t length = nul == nullptr
                                  ? size - p
                                  : static_cast<size_t>(static_cast<const char*>(nul) - base) - p;
        if (length == 0) {
            break;
        }
        const std::string text(base + p, length);
        p += length + 1;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) {
            entries.emplace_back(text.substr(0, equals), text.substr(equals + 1));
        }
    }
    return entries;
}

// Where save must put the new file: the target of a symbolic link, so that the link stays.
std::string resolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return path;
    }
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        return path;  // a dangling link is replaced like a missing file
    }
    return resolved;
}

// Writes the record bytes to fd and makes sure they reached the file.
bool writeRecord(int fd, const uint8_t* header, const std::vector<uint8_t>& area) {
    return qvsystemtools::writeAllFd(fd, header, VpdUpdater::kHeaderSize) &&
           qvsystemtools::writeAllFd(fd, area.data(), area.size());
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Replacing the record file by a new one renamed over it keeps the old record whole until
// the new one is complete. It is done only where nothing else a file write keeps would
// change: the directory is the caller's to write and no one else's (in a shared directory
// such as /tmp a working copy is written in place, and no scratch name is left there when
// the process is killed), the file has no other name (a hard link would split off), and its
// owner stays (only root can hand a new file back to another owner). st is null for a
// missing file.
bool replaceable(const std::string& target, const struct stat* st) {
    const std::string dir = directoryOf(target);
    struct stat dirStat {};
    if (::stat(dir.c_str(), &dirStat) != 0 || (dirStat.st_mode & S_IWOTH) != 0 ||
        ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return false;
    }
    return st == nullptr ||
           (st->st_nlink == 1 &&
            (::geteuid() == 0 || (st->st_uid == ::geteuid() && st->st_gid == ::getegid())));
}

// Writes the record to a new file beside target and renames it over target, with the mode
// and owner of the file it replaces (0644 for a new one). On failure target is as it was
// and no new file stays behind.
VpdUpdater::VpdUpdaterError replaceFile(const std::string& target, const struct stat* st,
                                        const uint8_t* header, const std::vector<uint8_t>& area) {
    qvsystemtools::AtomicFile file(target);
    if (!file.valid()) {
        return VpdUpdater::VpdInputError;
    }
    if (::fchmod(file.fd(), st != nullptr ? (st->st_mode & 07777) : 0644) != 0) {
        return VpdUpdater::VpdInputAccessError;
    }
    if (st != nullptr && (st->st_uid != ::geteuid() || st->st_gid != ::getegid()) &&
        ::fchown(file.fd(), st->st_uid, st->st_gid) != 0) {
        return VpdUpdater::VpdInputAccessError;
    }
    if (!writeRecord(file.fd(), header, area) || file.commit() != 0) {
        return VpdUpdater::VpdInputAccessError;
    }
    return VpdUpdater::VpdOk;
}

// A missing file where it cannot be replaced atomically: created (never through a link), and
// removed again when the record cannot be written whole.
VpdUpdater::VpdUpdaterError createFile(const std::string& target, const uint8_t* header,
                                       const std::vector<uint8_t>& area) {
    UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return VpdUpdater::VpdInputError;
    }
    if (::fchmod(fd.get(), 0644) == 0 && writeRecord(fd.get(), header, area) &&
        ::fsync(fd.get()) == 0 && fd.close() == 0) {
        return VpdUpdater::VpdOk;
    }
    (void)::unlink(target.c_str());  // this call made it; a partial record must not stay
    return VpdUpdater::VpdInputAccessError;
}

}  // namespace

VpdUpdater::VpdUpdater(const VpdType& type, const std::string& path)
    : state_(std::make_unique<State>()) {
    setPath(path);
    setRequiredFields(type);
}

VpdUpdater::~VpdUpdater() = default;

void VpdUpdater::setPath(const std::string& path) { state_->path = path; }

void VpdUpdater::setRequiredFields(const VpdType& type) {
    static const char* const kHardwareKeys[] = {"hwboot", "serial#", "ethmac", "usbmac"};
    state_->requiredMask = 0;
    state_->requiredBits.clear();
    if (type != VpdTypeHardware) {
        return;
    }
    uint32_t bit = 1;
    for (const char* key : kHardwareKeys) {
        state_->requiredBits[key] = bit;
        state_->requiredMask |= bit;
        bit <<= 1;
    }
}

bool VpdUpdater::hasRequiredFields() const {
    uint32_t found = 0;
    for (const auto& entry : state_->entries) {
        const auto bit = state_->requiredBits.find(entry.first);
        if (bit != state_->requiredBits.end()) {
            found |= bit->second;
        }
    }
    return found == state_->requiredMask;
}

VpdUpdater::VpdUpdaterError VpdUpdater::load() { return load(false); }

VpdUpdater::VpdUpdaterError VpdUpdater::load(bool acceptBadCrc) {
    return vpdBoundary([&]() -> VpdUpdaterError {
        UniqueFd fd(::open(state_->path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            throw VpdInputError;
        }
        // Read into a fresh buffer so that a short file leaves the loaded record as it was:
        // a later save must never write the remains of a failed read.
        uint8_t header[kHeaderSize];
        if (qvsystemtools::readFull(fd.get(), header, kHeaderSize).count != kHeaderSize) {
            throw VpdInputAccessError;
        }
        std::vector<uint8_t> area(kAreaSize);
        if (qvsystemtools::readFull(fd.get(), area.data(), kAreaSize).count != kAreaSize) {
            throw VpdInputAccessError;
        }
        (void)fd.close();  // read-only: nothing can be lost at close

        state_->crc = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                      static_cast<uint32_t>(header[2]) << 16 |
                      static_cast<uint32_t>(header[3]) << 24;
        state_->flag = header[4];
        state_->area = std::move(area);
        state_->entries.clear();
        if (crc32(state_->area.data(), state_->area.size()) != state_->crc) {
            if (!acceptBadCrc) {
                state_->packed = false;
                throw VpdCrcError;
            }
            // Area and CRC are those read: unchanged, the bad record is written back as is.
            state_->packed = true;
            return VpdOk;
        }
        state_->entries = parseArea(state_->area);
        state_->packed = true;
        return VpdOk;
    });
}

VpdUpdater::VpdUpdaterError VpdUpdater::pack() {
    return vpdBoundary([&]() -> VpdUpdaterError {
        state_->area.assign(kAreaSize, 0);
        size_t p = 0;
        for (const auto& entry : state_->entries) {
            const size_t length = entry.first.size() + 1 + entry.second.size();
            // The string's NUL must still lie inside the area.
            if (p + length >= kAreaSize) {
                throw VpdInputAccessError;
            }
            std::memcpy(&state_->area[p], entry.first.data(), entry.first.size());
            state_->area[p + entry.first.size()] = '=';
            std::memcpy(&state_->area[p + entry.first.size() + 1], entry.second.data(),
                        entry.second.size());
            p += length + 1;
        }
        state_->crc = crc32(state_->area.data(), state_->area.size());
        state_->packed = true;
        return VpdOk;
    });
}

VpdUpdater::VpdUpdaterError VpdUpdater::save() {
    return vpdBoundary([&]() -> VpdUpdaterError {
        if (!state_->packed) {
            const VpdUpdaterError packed = pack();
            if (packed != VpdOk) {
                return packed;
            }
        }
        if (!hasRequiredFields()) {
            return VpdFieldMissing;
        }
        const uint8_t header[kHeaderSize] = {static_cast<uint8_t>(state_->crc),
                                             static_cast<uint8_t>(state_->crc >> 8),
                                             static_cast<uint8_t>(state_->crc >> 16),
                                             static_cast<uint8_t>(state_->crc >> 24), state_->flag};

        const std::string target = resolveTarget(state_->path);
        struct stat st {};
        // A dangling link counts as missing: it is replaced like a missing file.
        const bool present = ::lstat(target.c_str(), &st) == 0 && !S_ISLNK(st.st_mode);
        if (!present) {
            return replaceable(target, nullptr) ? replaceFile(target, nullptr, header, state_->area)
                                                : createFile(target, header, state_->area);
        }
        // Saving means writing the file: one the caller may not write is refused, whichever
        // way the record then reaches it.
        UniqueFd fd(::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            return VpdInputError;
        }
        if (S_ISREG(st.st_mode) && replaceable(target, &st)) {
            fd.reset();
            return replaceFile(target, &st, header, state_->area);
        }
        // A device node, or a file whose replacement would change more than its content.
        if (!writeRecord(fd.get(), header, state_->area)) {
            return VpdInputAccessError;
        }
        if (S_ISREG(st.st_mode) &&
            (::ftruncate(fd.get(), VpdUpdater::kRecordSize) != 0 || ::fsync(fd.get()) != 0)) {
            return VpdInputAccessError;
        }
        return fd.close() == 0 ? VpdOk : VpdInputAccessError;
    });
}

VpdUpdater::VpdUpdaterError VpdUpdater::setValue(const std::string& key, const std::string& value) {
    return vpdBoundary([&]() -> VpdUpdaterError {
        if (key.empty() || key.find('=') != std::string::npos ||
            key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) {
            return VpdInputAccessError;
        }
        auto& entries = state_->entries;
        auto first = entries.begin();
        while (first != entries.end() && first->first != key) {
            ++first;
        }
        if (first == entries.end()) {
            if (!value.empty()) {
                entries.emplace_back(key, value);
                state_->packed = false;
            }
            return VpdOk;
        }
        if (state_->protectExisting) {
            return VpdFieldExists;
        }
        // Later entries of the same key would override this one in the boot loader.
        for (auto later = first + 1; later != entries.end();) {
            if (later->first == key) {
                later = entries.erase(later);
                state_->packed = false;
            } else {
                ++later;
            }
        }
        if (value.empty()) {
            entries.erase(first);
            state_->packed = false;
        } else if (first->second != value) {
            first->second = value;
            state_->packed = false;
        }
        return VpdOk;
    });
}

VpdUpdater::VpdUpdaterError VpdUpdater::getValue(const std::string& key, std::string& value) const {
    try {
        for (const auto& entry : state_->entries) {
            if (entry.first == key) {
                value = entry.second;
                return VpdOk;
            }
        }
        return VpdFieldMissing;
    } catch (...) {
        return VpdCodeError;
    }
}

size_t VpdUpdater::entryBytes() const {
    size_t bytes = 0;
    for (const auto& [key, value] : state_->entries) {
        bytes += key.size() + 1 + value.size() + 1;
    }
    return bytes;
}

uint8_t VpdUpdater::getFlag() const { return state_->flag; }

void VpdUpdater::setFlag(uint8_t flag) { state_->flag = flag; }

void VpdUpdater::setProtected(bool protectExisting) { state_->protectExisting = protectExisting; }

namespace {

void printHeader(std::ostream& out, const std::string& prefix) {
    out << prefix << "# VPD content:" << std::endl;
}

void printTrailer(std::ostream& out, const std::string& prefix, uint32_t crc, uint8_t flag) {
    out << prefix << "# VPD CRC:" << std::endl;
    out << prefix << " - 0x" << std::hex << crc << std::dec << std::endl;
    out << prefix << "# VPD Flag:" << std::endl;
    out << prefix << " - 0x" << std::hex << static_cast<unsigned>(flag) << std::dec << std::endl;
}

std::string indentPrefix(int indent) {
    return indent > 0 ? std::string(static_cast<size_t>(indent), ' ') : std::string();
}

}  // namespace

void VpdUpdater::print(int indent, bool withHeader, std::ostream& out) const {
    const std::string prefix = indentPrefix(indent);
    if (withHeader) {
        printHeader(out, prefix);
    }
    for (const auto& entry : state_->entries) {
        out << prefix << entry.first << '=' << entry.second << std::endl;
    }
    if (withHeader) {
        printTrailer(out, prefix, state_->crc, state_->flag);
    }
}

bool VpdUpdater::printValues(const std::vector<std::string>& keys, int indent, bool withHeader,
                             std::ostream& out) const {
    const std::string prefix = indentPrefix(indent);
    bool allFound = true;
    if (withHeader) {
        printHeader(out, prefix);
    }
    for (const auto& key : keys) {
        bool found = false;
        for (const auto& entry : state_->entries) {
            if (entry.first == key) {
                out << prefix << entry.first << '=' << entry.second << std::endl;
                found = true;
            }
        }
        if (!found) {
            out << prefix << "## Error: \"" << key << "\" not defined" << std::endl;
            allFound = false;
        }
    }
    if (withHeader) {
        printTrailer(out, prefix, state_->crc, state_->flag);
    }
    return allFound;
}

void VpdUpdater::throwOnError(const VpdUpdaterError& error) {
    if (error != VpdOk) {
        throw error;
    }
}

}  // namespace KIVRA
