#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "qvcommontools/install_log.h"
#include "qvsystemtools/dir_ops.h"
#include "qvsystemtools/unique_fd.h"

extern char** environ;

namespace KIVRA {
namespace testing {

namespace {
std::string link(const char* path) {
    char buffer[256] = {};
    const ssize_t n = ::readlink(path, buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// The ELF identity of a program file: class, byte order and machine. Empty when the file
// is not an ELF executable (a script, say).
std::string elfIdentity(const char* path) {
    unsigned char header[20] = {};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::string();
    }
    const ssize_t n = ::read(fd, header, sizeof header);
    (void)::close(fd);  // read-only: nothing to lose
    if (n != static_cast<ssize_t>(sizeof header) || header[0] != 0x7f || header[1] != 'E' ||
        header[2] != 'L' || header[3] != 'F') {
        return std::string();
    }
    // EI_CLASS, EI_DATA and e_machine (two bytes at offset 18, in the file's byte order).
    return std::string{static_cast<char>(header[4]), static_cast<char>(header[5]),
                       static_cast<char>(header[18]), static_cast<char>(header[19])};
}

// The emulator command that runs a target program on the build machine, split at blanks:
// the one the cross build was configured with, unless QV_TEST_EMULATOR in the environment
// names another (empty: run target programs directly, as on the device).
std::vector<std::string> emulatorCommand() {
    const char* configured = std::getenv("QV_TEST_EMULATOR");
    const std::string text = configured != nullptr ? configured : QV_TEST_EMULATOR;
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (const std::string& s : strings) result.push_back(const_cast<char*>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

}  // namespace

void execProgram(const std::string& path, const std::vector<std::string>& argv) {
    std::vector<std::string> command = emulatorCommand();
    const std::string target = elfIdentity("/proc/self/exe");
    if (command.empty() || target.empty() || argv.empty() || elfIdentity(path.c_str()) != target) {
        const std::vector<char*> args = pointers(argv);
        ::execv(path.c_str(), args.data());
        return;
    }
    // The emulator needs the program's real path ("/proc/self/exe" would name the emulator
    // itself once it runs) and takes the chosen argv[0] through its -0 option.
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) {
        return;
    }
    command.insert(command.end(), {"-0", argv[0], real});
    command.insert(command.end(), argv.begin() + 1, argv.end());
    const std::vector<char*> args = pointers(command);
    ::execvp(args[0], args.data());
}

// A program built for the same machine as this test program (one of ours in a cross build)
// is started through the emulator; host programs such as /bin/sh and scripts run directly.
bool slowRuns() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return programCommand({binPath("qvinstaller")}).size() > 1;
#endif
}

std::vector<std::string> programCommand(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return argv;
    }
    std::vector<std::string> command = emulatorCommand();
    if (command.empty()) {
        return argv;
    }
    const std::string target = elfIdentity("/proc/self/exe");
    if (target.empty() || elfIdentity(argv[0].c_str()) != target) {
        return argv;
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::vector<std::string> noSleepEnv() {
    // Under the user-mode emulator the host's own programs that the installer starts (the
    // shell) would be handed a library of the target's machine: such runs keep their pauses.
    if (!emulatorCommand().empty()) {
        return {};
    }
    // A sanitized program insists on its runtime coming first; the stand-in may go ahead.
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {std::string("LD_PRELOAD=") + QV_NO_SLEEP_LIB,
            std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") +
                "verify_asan_link_order=0"};
}

std::vector<std::string> flashStandinEnv(const std::string& image) {
    std::vector<std::string> entries = {"QV_FLASH_STANDIN=" + image};
    if (!emulatorCommand().empty()) {
        entries.push_back(std::string("QEMU_SET_ENV=LD_PRELOAD=") + QV_FLASH_STANDIN_LIB);
        return entries;
    }
    // Both stand-ins in one list: a second LD_PRELOAD entry would go unseen.
    for (const std::string& entry : noSleepEnv()) {
        const std::string key = "LD_PRELOAD=";
        entries.push_back(entry.compare(0, key.size(), key) == 0
                              ? key + QV_FLASH_STANDIN_LIB + ":" + entry.substr(key.size())
                              : entry);
    }
    if (entries.size() == 1) {
        entries.push_back(std::string("LD_PRELOAD=") + QV_FLASH_STANDIN_LIB);
    }
    return entries;
}

bool withFailingDirectoryReads(const std::function<void()>& body) {
    bool installed = false;
    // A seccomp filter binds the thread that sets it (and its children) only.
    std::thread reader([&] {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getdents64, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        installed = ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                    ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
        if (installed) {
            body();
        }
    });
    reader.join();
    return installed;
}

bool withOpenHeld(const std::string& path, const std::function<void()>& meanwhile,
                  const std::function<void()>& body) {
    const qvsystemtools::UniqueFd watch(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY));
    if (!watch.valid() || ::fanotify_mark(watch.get(), FAN_MARK_ADD, FAN_OPEN_PERM | FAN_ONDIR,
                                          AT_FDCWD, path.c_str()) != 0) {
        return false;
    }
    std::thread holder([&] {
        fanotify_event_metadata event{};
        if (::read(watch.get(), &event, sizeof event) != sizeof event || event.fd < 0) {
            return;
        }
        meanwhile();
        // Later opens of the path go on unheld; the one held waits for the answer below.
        (void)::fanotify_mark(watch.get(), FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
        const fanotify_response allow{event.fd, FAN_ALLOW};
        // A lost answer leaves the open held: the test then hangs, which its timeout shows.
        (void)!::write(watch.get(), &allow, sizeof allow);
        (void)::close(event.fd);
    });
    body();
    holder.join();
    return true;
}

bool inSandbox() {
    const std::string self = link("/proc/self/ns/mnt");
    if (self.empty()) {
        return false;
    }
    const std::string init = link("/proc/1/ns/mnt");
    if (!init.empty()) {
        return self != init;
    }
    // Where pid 1 cannot be inspected (a container), the sandbox script's record of the
    // namespace it left is the proof.
    const char* outer = std::getenv("QV_SANDBOX_OUTER_NS");
    return outer != nullptr && self != outer;
}

void SandboxTest::SetUp() {
    ASSERT_TRUE(inSandbox()) << "refusing to touch /tmp, /mnt or /sys outside a private mount "
                                "namespace: run through scripts/sandbox or ctest";
}

const TempDir& SandboxTest::tempDir() {
    if (!inSandbox()) {
        throw std::runtime_error("no temporary directory outside the sandbox");
    }
    if (tempDir_ == nullptr) {
        tempDir_ = std::make_unique<TempDir>();
    }
    return *tempDir_;
}

ScopedInstallLog::~ScopedInstallLog() { qvcommontools::closeInstallLog(); }

void InstallerTest::SetUp() {
    SandboxTest::SetUp();
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_EQ(::system("mkdir -p /mnt/hda1/Kvtemp"), 0);
}

void describeStandinFlash(uint32_t size) {
    const std::string dir = "/sys/class/mtd/mtd0";
    ASSERT_EQ(::system(("mkdir -p " + dir).c_str()), 0);
    const std::pair<const char*, std::string> attributes[] = {{"dev", "90:0"},
                                                              {"name", "boot"},
                                                              {"type", "nor"},
                                                              {"erasesize", "65536"},
                                                              {"size", std::to_string(size)},
                                                              {"writesize", "1"},
                                                              {"subpagesize", "1"},
                                                              {"oobsize", "0"},
                                                              {"numeraseregions", "0"},
                                                              {"flags", "0xc00"}};
    for (const auto& [name, text] : attributes) {
        writeBytes(dir + "/" + name, text + "\n");
    }
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::string> dirEntries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    for (const dirent* e = dir ? ::readdir(dir) : nullptr; e != nullptr; e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names.push_back(e->d_name);
        }
    }
    if (dir != nullptr) {
        (void)::closedir(dir);  // read-only listing: nothing to lose
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string randomBytes(size_t length, unsigned seed) {
    std::mt19937 engine(seed);
    std::string data(length, '\0');
    for (char& c : data) {
        c = static_cast<char>(engine() & 0xFF);
    }
    return data;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& input) {
    int outPipe[2], errPipe[2], inPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0 ||
        ::pipe2(inPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        envStrings.emplace_back(*e);
    }
    for (const std::string& entry : env) {
        const std::string key = entry.substr(0, entry.find('='));
        std::vector<std::string> kept;
        for (const std::string& existing : envStrings) {
            if (existing.compare(0, key.size() + 1, key + "=") != 0) {
                kept.push_back(existing);
            }
        }
        envStrings.swap(kept);
        if (entry.find('=') != std::string::npos) {
            envStrings.push_back(entry);
        }
    }
    const std::vector<std::string> command = programCommand(argv);
    const bool emulated = command.size() != argv.size();
    std::vector<char*> args, envp;
    for (const std::string& a : command) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (emulated) {
            // The emulator is named as configured, usually without a directory.
            ::execvpe(args[0], args.data(), envp.data());
        } else {
            ::execve(args[0], args.data(), envp.data());
        }
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(inPipe[0]);
    if (!input.empty()) {
        (void)!::write(inPipe[1], input.data(), input.size());
    }
    ::close(inPipe[1]);

    ProcessResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool uidMapped(unsigned uid) {
    std::ifstream map("/proc/self/uid_map");
    unsigned inside = 0, outside = 0, count = 0;
    while (map >> inside >> outside >> count) {
        if (uid >= inside && uid - inside < count) {
            return true;
        }
    }
    return false;
}

int runAsUser(unsigned uid, unsigned gid, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(uid, uid, uid) != 0) {
            ::_exit(255);
        }
        ::_exit(body() & 0xff);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 255) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string binPath(const std::string& name) { return std::string(QV_BIN_DIR) + "/" + name; }

std::string sourcePath(const std::string& relative) {
    return std::string(QV_SOURCE_DIR) + "/" + relative;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

}  // namespace testing
}  // namespace KIVRA
