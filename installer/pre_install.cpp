#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "crypto/qv_encryption.h"
#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "installer/package_signature.h"
#include "installer/package_verdicts.h"
#include "installer/scratch_file.h"
#include "installer/stop_signals.h"
#include "package_format/file_pass.h"
#include "package_format/image_classes.h"
#include "package_format/package_rules.h"
#include "qvcommontools/install_log.h"
#include "qvsystemtools/command.h"
#include "qvsystemtools/file_ops.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {

namespace {

const char* const kScriptCopy = "/tmp/init.sh";

}  // namespace

int KivraInstaller::preInstallRun() {
    Impl& d = *impl_;
    const std::string origin = installer::origin("preInstallRun");
    return installer::runStep([&] {
        const std::string script = d.fwDir + "/init.sh";
        bool placed = false;
        if (qvsystemtools::isFile(script)) {
            // /tmp is writable by everyone: the decrypted script is written into a file only
            // this process can have opened and then given its name, so a link planted at
            // the script's path is replaced, never followed. A script that did not decrypt
            // completely is not run: a truncated command line can do what the whole one
            // never would.
            (void)::unlink(kScriptCopy);
            QvEncryption encryption;
            (void)encryption.setKey(d.version);  // a wrong key shows as a failing script
            installer::ScratchFile scratch(kScriptCopy, 0700);
            // A link is not the package's script, whatever it points to.
            const package_format::EntryKind kind = package_format::entryKindOf(script);
            std::optional<package_format::ContentFacts> plain;
            package_format::ContentFacts facts;
            package_format::Sha256Stream stored;
            const bool decrypted = scratch.valid() && kind == package_format::EntryKind::Regular &&
                                   package_format::decryptInto(encryption, script, scratch.path(),
                                                               {{&stored}, {}}) == 0;
            if (decrypted && package_format::scanFile(scratch.path(), facts)) {
                plain = facts;
            }
            // Held to the signed statement on the bytes just read, before anything else of
            // the script counts: the unnamed copy of a script that fails is never run.
            if (decrypted) {
                installer::requireListed(d, package_format::kInitScriptName, stored, origin);
            }
            // Judged on the very bytes that would run: a script the package says is damaged
            // is refused before it runs.
            installer::refuseOn(d, package_format::checkScript(d.manifest, kind, plain), origin);
            placed = plain && scratch.putInPlace();
            if (!placed) {
                qvcommontools::logInstall(
                    "Running pre install script failed, unable to decrypt it, continue");
            }
        }
        // Only the copy this run put in place is run: anyone may create /tmp/init.sh.
        if (placed) {
            const std::string command = std::string("/bin/sh ") + kScriptCopy;
            const qvsystemtools::CommandEnd end = qvsystemtools::runCommandEnd(command);
            // system() keeps SIGINT from this process while the script runs: the console's
            // interrupt reaches the script alone, and its end by that signal is the request.
            if (end.signal == SIGINT) {
                installer::noteStopSignal(SIGINT);
            }
            if (!end.executed || end.status != 0) {
                qvcommontools::logInstall("Running pre install script failed, continue");
            }
        }
        // The script runs to its end: cut short, it may leave the device half prepared. A
        // stop asked for meanwhile takes effect now, before anything is installed.
        installer::stopIfAsked(d, origin);
    });
}

}  // namespace KIVRA
