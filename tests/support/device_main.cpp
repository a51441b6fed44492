// main() of the device tests. They all run in one boot of the harness, one after the other in
// one process: each test gets empty /tmp and /mnt of its own, as each host test does in its own
// sandbox, so that no test sees what an earlier one left there.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvsystemtools/unique_fd.h"
#include "tests/support/test_support.h"

namespace {

using KIVRA::qvsystemtools::UniqueFd;

bool below(const std::string& path, const std::string& top) {
    return path == top || path.compare(0, top.size() + 1, top + "/") == 0;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "device tests: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(125);
}

// The checkout, the build and the working directory may lie below /tmp or /mnt (a CI clone,
// say): they are bound back into each fresh mount, as scripts/sandbox does.
class FreshDirsPerTest : public ::testing::EmptyTestEventListener {
public:
    FreshDirsPerTest() {
        char cwd[4096];
        std::vector<std::string> candidates = {QV_SOURCE_DIR, QV_BIN_DIR};
        if (::getcwd(cwd, sizeof cwd) != nullptr) {
            candidates.emplace_back(cwd);
        }
        for (const std::string& path : candidates) {
            if (!below(path, "/tmp") && !below(path, "/mnt")) {
                continue;
            }
            bool covered = false;
            for (const Kept& k : kept_) {
                covered = covered || below(path, k.path);
            }
            if (covered) {
                continue;
            }
            Kept k{path, UniqueFd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC))};
            if (!k.fd.valid()) {
                die("cannot keep " + path);
            }
            kept_.push_back(std::move(k));
        }
    }

    void OnTestStart(const ::testing::TestInfo& /*test*/) override {
        mount("/tmp", "mode=1777");
        mount("/mnt", "mode=0755");
        for (const Kept& k : kept_) {
            makeDirs(k.path);
            const std::string source = "/proc/self/fd/" + std::to_string(k.fd.get());
            if (::mount(source.c_str(), k.path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                die("cannot bind " + k.path + " back");
            }
        }
    }

    void OnTestEnd(const ::testing::TestInfo& /*test*/) override {
        // Lazily, with what is bound below them: a child of the test may still hold a file.
        for (const char* dir : {"/tmp", "/mnt"}) {
            if (::umount2(dir, MNT_DETACH) != 0) {
                die(std::string("cannot unmount ") + dir);
            }
        }
    }

private:
    struct Kept {
        std::string path;
        UniqueFd fd;
    };

    static void mount(const char* dir, const char* options) {
        if (::mount("qvdevtest", dir, "tmpfs", 0, options) != 0) {
            die(std::string("cannot mount a fresh ") + dir);
        }
    }

    static void makeDirs(const std::string& path) {
        for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
            const std::string prefix = path.substr(0, slash);
            if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
                die("cannot create " + prefix);
            }
            if (slash == std::string::npos) {
                return;
            }
        }
    }

    std::vector<Kept> kept_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Outside a private mount namespace the tests refuse to run (SandboxTest); nothing may be
    // mounted over the machine's own /tmp and /mnt either.
    if (KIVRA::testing::inSandbox()) {
        ::testing::UnitTest::GetInstance()->listeners().Append(new FreshDirsPerTest);
    }
    return RUN_ALL_TESTS();
}
