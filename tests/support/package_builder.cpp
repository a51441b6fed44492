#include "tests/support/package_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "crypto/qv_encryption.h"
#include "package_format/image_classes.h"
#include "qvsystemtools/unique_fd.h"

namespace KIVRA {
namespace testing {

namespace {
void makeDir(const std::string& path) {
    ASSERT_TRUE(::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) << path;
}
}  // namespace

std::string ubootMagic() {
    return std::string(std::begin(package_format::kUbootMagic),
                       std::end(package_format::kUbootMagic));
}

std::string ubootImage(size_t length, unsigned seed) {
    const std::string magic = ubootMagic();
    return magic + randomBytes(length - magic.size(), seed);
}

std::string md5Of(const std::string& data) {
    const ProcessResult digest = runProcess({"/usr/bin/md5sum"}, {}, data);
    EXPECT_EQ(digest.exitStatus, 0) << digest.err;
    return digest.out.substr(0, 32);
}

std::string md5sumList(const std::string& dir, const std::vector<std::string>& names) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec /usr/bin/md5sum -- \"$@\"",
                                     dir};
    argv.insert(argv.end(), names.begin(), names.end());
    const ProcessResult list = runProcess(argv);
    EXPECT_EQ(list.exitStatus, 0) << list.err;
    return list.out;
}

void writeEncrypted(const std::string& path, const std::string& plain,
                    const std::string& passphrase) {
    const std::string scratch = path + ".plain";
    writeBytes(scratch, plain);
    QvEncryption encryption;
    ASSERT_EQ(encryption.setKey(passphrase), 0);
    ASSERT_EQ(encryption.encryptFile(scratch, path), 0) << path;
    ASSERT_EQ(::unlink(scratch.c_str()), 0);
}

std::string readDecrypted(const std::string& path, const std::string& passphrase) {
    QvEncryption encryption;
    EXPECT_EQ(encryption.setKey(passphrase), 0);
    const qvsystemtools::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string plain;
    EXPECT_EQ(encryption.decryptToSink(file.get(),
                                       [&](const unsigned char* data, size_t length) {
                                           plain.append(reinterpret_cast<const char*>(data),
                                                        length);
                                           return true;
                                       }),
              0)
        << path;
    return plain;
}

ProcessResult qvpack(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> argv = {binPath("qvpack")};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, env);
}

std::vector<std::string> qvpackCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {binPath("qvpack")};
    argv.insert(argv.end(), args.begin(), args.end());
    return programCommand(argv);
}

ProcessResult openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv);
}

void requireOpenssl(const std::vector<std::string>& args) {
    const ProcessResult result = openssl(args);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
}

void makeIso(const std::string& path, const char* manifest, mode_t manifestMode) {
    const TempDir tree;
    ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);  // the image's root as a store keeps it
    makeDir(tree / "etc");
    writeBytes(tree / "bin.dat", randomBytes(3000, 21));
    if (manifest != nullptr) {
        writeBytes(tree / "etc/manifest.txt", manifest);
        ASSERT_EQ(::chmod((tree / "etc/manifest.txt").c_str(), manifestMode), 0);
    }
    const auto made =
        runProcess({"/usr/bin/xorriso", "-as", "mkisofs", "-quiet", "-R", "-o", path, tree.path()});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
}

void PackageBuilder::source(const std::string& name, const std::string& content, mode_t mode) {
    makeDir(sourceDir);
    writeBytes(sourceDir + "/" + name, content);
    ASSERT_EQ(::chmod((sourceDir + "/" + name).c_str(), mode), 0);
    if (std::find(names_.begin(), names_.end(), name) == names_.end()) {
        names_.push_back(name);
    }
}

std::vector<std::string> PackageBuilder::sourcePaths() const {
    std::vector<std::string> paths;
    for (const std::string& name : names_) {
        paths.push_back(sourceDir + "/" + name);
    }
    return paths;
}

ProcessResult PackageBuilder::create(const std::string& out) const {
    return qvpack(createArgs(out));
}

std::vector<std::string> PackageBuilder::createArgs(const std::string& out) const {
    std::vector<std::string> args = {"create", out.empty() ? dir : out, "--version",
                                     version,  "--product-type",        productType};
    for (const std::string& entry : sets) {
        args.insert(args.end(), {"--set", entry});
    }
    if (!initScript.empty()) {
        writeBytes(initScriptPath(), initScript);
        args.insert(args.end(), {"--init-script", initScriptPath()});
    }
    const std::vector<std::string> paths = sourcePaths();
    args.insert(args.end(), paths.begin(), paths.end());
    return args;
}

void PackageBuilder::manifest(const std::string& text) const {
    makeDir(dir);
    writeBytes(path("manifest.txt"), text);
}

void PackageBuilder::encrypted(const std::string& name, const std::string& plain) const {
    makeDir(dir);
    writeEncrypted(path(name), plain, version);
}

std::string PackageBuilder::decrypted(const std::string& name) const {
    return readDecrypted(path(name), version);
}

}  // namespace testing
}  // namespace KIVRA
