#include <fstream>

#include "installer/kivra_installer.h"
#include "installer/kivra_installer_impl.h"
#include "qvsystemtools/file_ops.h"

namespace KIVRA {

namespace {
const char* const kBootUpdateFile = "/tmp/boot_config";
}

KivraInstaller::Error KivraInstaller::getBootPartition(int& partition) {
    const std::string origin = installer::origin("getBootPartition");
    return installer::runStep([&] {
        if (!qvsystemtools::isFile(kBootUpdateFile)) {
            partition = -1;
            return;
        }
        std::ifstream file(kBootUpdateFile);
        int value = -1;
        file >> value;
        // Whatever follows the number is the producer's business; only the number counts.
        if (file.fail() || (value != 0 && value != 1)) {
            installer::raise(FileError, "Invalid boot update file", origin);
        }
        partition = value;
    });
}

}  // namespace KIVRA
