#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "crypto/qv_encryption.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "qvcommontools/install_log.h"
#include "qvsystemtools/command.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

namespace {

const char* const kScriptCopy = "/tmp/init.sh";

// A private file next to the script's place, removed unless it has been renamed into place.
class ScratchFile {
public:
    ScratchFile() {
        char name[] = "/tmp/init.sh.XXXXXX";
        qvsystemtools::UniqueFd fd(::mkostemp(name, O_CLOEXEC));
        if (!fd.valid()) {
            return;
        }
        if (::fchmod(fd.get(), 0700) == 0 && fd.close() == 0) {
            path_ = name;
        } else {
            (void)::unlink(name);  // made but not usable; nothing else refers to it
        }
    }
    ~ScratchFile() {
        if (!path_.empty()) {
            (void)::unlink(path_.c_str());  // nothing else refers to it
        }
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    [[nodiscard]] bool valid() const { return !path_.empty(); }
    [[nodiscard]] const std::string& path() const { return path_; }

    // Moves the file to target, replacing whatever stands there (a planted link included)
    // instead of writing through it.
    [[nodiscard]] bool renameTo(const char* target) {
        if (::rename(path_.c_str(), target) != 0) {
            return false;
        }
        path_.clear();
        return true;
    }

private:
    std::string path_;
};

}  // namespace

int KivraInstaller::preInstallRun() {
    Impl& d = *impl_;
    return installer::runStep([&] {
        const std::string script = d.fwDir + "/init.sh";
        bool placed = false;
        if (qvsystemtools::isFile(script)) {
            // /tmp is writable by everyone: the decrypted script is written into a file only
            // this process can have opened and then renamed into place, so a link planted at
            // the script's path is replaced, never followed. A script that did not decrypt
            // completely is not run: a truncated command line can do what the whole one
            // never would.
            (void)::unlink(kScriptCopy);
            QvEncryption encryption;
            (void)encryption.setKey(d.version);  // a wrong key shows as a failing script
            ScratchFile scratch;
            placed = scratch.valid() && encryption.decryptFile(script, scratch.path()) == 0 &&
                     scratch.renameTo(kScriptCopy);
            if (!placed) {
                qvcommontools::logInstall(
                    "Running pre install script failed, unable to decrypt it, continue");
            }
        }
        // Only the copy this run put in place is run: anyone may create /tmp/init.sh.
        if (placed) {
            const std::string command = std::string("/bin/sh ") + kScriptCopy;
            bool executed = false;
            const int status = qvsystemtools::runCommand(command, executed);
            if (!executed || status != 0) {
                qvcommontools::logInstall("Running pre install script failed, continue");
            }
        }
    });
}

}  // namespace KIVRA
