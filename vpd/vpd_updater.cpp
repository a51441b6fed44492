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

// Reads until length bytes arrived or the file ends. The count read, or -1 on an error.
ssize_t readFull(int fd, uint8_t* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, buffer + done, length - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

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
        if (readFull(fd.get(), header, kHeaderSize) != static_cast<ssize_t>(kHeaderSize)) {
            throw VpdInputAccessError;
        }
        std::vector<uint8_t> area(kAreaSize);
        if (readFull(fd.get(), area.data(), kAreaSize) != static_cast<ssize_t>(kAreaSize)) {
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
        const bool present = ::stat(target.c_str(), &st) == 0;
        if (present && !S_ISREG(st.st_mode)) {
            // Not a file that can be replaced (a device node): written in place.
            UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
            if (!fd.valid()) {
                return VpdInputError;
            }
            if (!writeRecord(fd.get(), header, state_->area) || fd.close() != 0) {
                return VpdInputAccessError;
            }
            return VpdOk;
        }

        // The new record is complete on disk before it replaces the old one, so a full
        // partition or a failing write never leaves a destroyed record behind.
        std::string temp = target + ".XXXXXX";
        UniqueFd fd(::mkostemp(&temp[0], O_CLOEXEC));
        if (!fd.valid()) {
            return VpdInputError;
        }
        struct TempRemover {
            const std::string& path;
            bool armed = true;
            ~TempRemover() {
                if (armed) {
                    (void)::unlink(path.c_str());  // best effort; the failure is reported
                }
            }
        } remover{temp};
        // The replaced file keeps its permissions and owner; a new one gets 0644.
        if (::fchmod(fd.get(), present ? (st.st_mode & 07777) : 0644) != 0) {
            return VpdInputAccessError;
        }
        if (present && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
            // Only root can hand the file back to its owner; anyone else keeps it as theirs.
            // Written as a test, not a (void) cast: with _FORTIFY_SOURCE (distribution
            // builds) the C library marks fchown warn_unused_result, which a cast does not
            // silence.
            if (::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
                // Not a failure of the update: the record is written, owned by the caller.
            }
        }
        if (!writeRecord(fd.get(), header, state_->area) || ::fsync(fd.get()) != 0 ||
            fd.close() != 0) {
            return VpdInputAccessError;
        }
        if (::rename(temp.c_str(), target.c_str()) != 0) {
            return VpdInputAccessError;
        }
        remover.armed = false;
        return VpdOk;
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
