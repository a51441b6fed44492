// qv_powercut_trace: runs a program under ptrace and numbers every system call it makes that can
// change what survives a power cut: writes, creations, deletions, renames, syncs, erases and
// closes on the data partition, the boot flash and the eMMC attribute. At each of them it can
// log the call, put a named mark into a dm-log-writes log, or cut the power.
//
//   qv_powercut_trace [--list FILE] [--mark DMNAME] [--exit-mark PATH]... [--durable DEV=BDEV]
//                     [--cut N] [--signal N:SIG] [--persistent PREFIX]... -- PROGRAM [ARG...]
//
//   --list FILE        appends "N<TAB>description" per call (the numbering of --cut and marks)
//   --mark DMNAME      before call N: the mark "eN" in the write log of device-mapper device DMNAME
//   --exit-mark PATH   after a call on PATH returns: mark "xN" (the moment it took effect)
//   --durable DEV=BDEV after a call on DEV returns: fsync BDEV, the block device under DEV; the
//                      boot flash has no write cache, unlike the block device that stands in for it
//   --cut N            before call N: the power goes (sysrq b: immediate reboot, nothing synced)
//   --signal N:SIG     before call N: the program is sent signal number SIG (as device software
//                      or a service manager stops it), and goes on as it then does
//   --persistent P     paths starting with P count (default /mnt/hda1, /dev/mtd, /sys/block/mmcblk)
//
// Only the program's own process is traced (its shell children do not touch persistent storage).
// Exit status: the program's, or 125 when tracing fails.

#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string list;
    std::string markDevice;
    std::vector<std::string> exitMarkPaths;
    std::string durableDevice;
    std::string durableBlock;
    long cut = 0;
    long signalAt = 0;
    int signal = 0;
    std::vector<std::string> persistent;
    std::vector<char*> program;
};

[[noreturn]] void fatal(const std::string& text) {
    std::fprintf(stderr, "qv_powercut_trace: %s\n", text.c_str());
    std::exit(125);
}

std::string fdPath(pid_t pid, long fd) {
    char link[PATH_MAX + 1];
    const std::string proc = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(proc.c_str(), link, PATH_MAX);
    return n <= 0 ? std::string() : std::string(link, static_cast<size_t>(n));
}

bool fdWritable(pid_t pid, long fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key;
    while (info >> key) {
        if (key == "flags:") {
            std::string octal;
            info >> octal;
            return (std::strtoul(octal.c_str(), nullptr, 8) & O_ACCMODE) != O_RDONLY;
        }
    }
    return false;
}

std::string tracedString(pid_t pid, unsigned long long address) {
    std::string text;
    char chunk[256];
    while (text.size() < PATH_MAX) {
        iovec local{chunk, sizeof chunk};
        // A read that would cross into an unmapped page is cut at the page end.
        const unsigned long long pageLeft = 4096 - (address % 4096);
        iovec remote{reinterpret_cast<void*>(address),
                     static_cast<size_t>(pageLeft < sizeof chunk ? pageLeft : sizeof chunk)};
        local.iov_len = remote.iov_len;
        const ssize_t n = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (n <= 0) {
            break;
        }
        const void* nul = std::memchr(chunk, '\0', static_cast<size_t>(n));
        if (nul != nullptr) {
            text.append(chunk, static_cast<const char*>(nul) - chunk);
            return text;
        }
        text.append(chunk, static_cast<size_t>(n));
        address += static_cast<unsigned long long>(n);
    }
    return text;
}

// A path argument of an *at call, made absolute the way the kernel resolves it.
std::string atPath(pid_t pid, long dirfd, unsigned long long address) {
    const std::string path = tracedString(pid, address);
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    const std::string base = dirfd == AT_FDCWD
                                 ? [&] {
                                       char link[PATH_MAX + 1];
                                       const std::string cwd =
                                           "/proc/" + std::to_string(pid) + "/cwd";
                                       const ssize_t n = ::readlink(cwd.c_str(), link, PATH_MAX);
                                       return n <= 0 ? std::string()
                                                     : std::string(link, static_cast<size_t>(n));
                                   }()
                                 : fdPath(pid, dirfd);
    return base + "/" + path;
}

// The description of a call that can change persistent state, or "" for any other call.
// target receives the path the call works on.
std::string describe(pid_t pid, const __ptrace_syscall_info& info, const Options& options,
                     std::string& target) {
    const auto& a = info.entry.args;
    auto persistent = [&](const std::string& path) {
        for (const auto& prefix : options.persistent) {
            if (path.compare(0, prefix.size(), prefix) == 0) {
                return true;
            }
        }
        return false;
    };
    auto on = [&](const char* name, const std::string& path) {
        target = path;
        return persistent(path) ? std::string(name) + " " + path : std::string();
    };
    const long fd0 = static_cast<long>(a[0]);
    switch (info.entry.nr) {
#ifdef SYS_open
        case SYS_open:
            return (a[1] & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0
                       ? on((a[1] & O_TRUNC) ? "open-trunc" : "open-write",
                            atPath(pid, AT_FDCWD, a[0]))
                       : std::string();
#endif
#ifdef SYS_creat
        case SYS_creat:
            return on("open-trunc", atPath(pid, AT_FDCWD, a[0]));
#endif
        case SYS_openat:
            return (a[2] & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0
                       ? on((a[2] & O_TRUNC) ? "open-trunc" : "open-write",
                            atPath(pid, static_cast<int>(a[0]), a[1]))
                       : std::string();
        case SYS_write:
        case SYS_pwrite64:
        case SYS_writev:
        case SYS_pwritev:
            return on("write", fdPath(pid, fd0));
        case SYS_ftruncate:
            return on("truncate", fdPath(pid, fd0));
        case SYS_fallocate:
            return on("fallocate", fdPath(pid, fd0));
        case SYS_fsync:
        case SYS_fdatasync:
            return on("fsync", fdPath(pid, fd0));
        case SYS_sync:
            target.clear();
            return "sync";
        case SYS_syncfs:
            return on("syncfs", fdPath(pid, fd0));
#ifdef SYS_unlink
        case SYS_unlink:
            return on("unlink", atPath(pid, AT_FDCWD, a[0]));
#endif
#ifdef SYS_rmdir
        case SYS_rmdir:
            return on("rmdir", atPath(pid, AT_FDCWD, a[0]));
#endif
        case SYS_unlinkat:
            return on((a[2] & AT_REMOVEDIR) ? "rmdir" : "unlink",
                      atPath(pid, static_cast<int>(a[0]), a[1]));
#ifdef SYS_mkdir
        case SYS_mkdir:
            return on("mkdir", atPath(pid, AT_FDCWD, a[0]));
#endif
        case SYS_mkdirat:
            return on("mkdir", atPath(pid, static_cast<int>(a[0]), a[1]));
#ifdef SYS_rename
        case SYS_rename:
            return on("rename", atPath(pid, AT_FDCWD, a[0]) + " " + atPath(pid, AT_FDCWD, a[1]));
#endif
        case SYS_renameat:
        case SYS_renameat2:
            return on("rename", atPath(pid, static_cast<int>(a[0]), a[1]) + " " +
                                    atPath(pid, static_cast<int>(a[2]), a[3]));
#ifdef SYS_link
        case SYS_link:
            return on("link", atPath(pid, AT_FDCWD, a[1]));
#endif
        case SYS_linkat:
            return on("link", atPath(pid, static_cast<int>(a[2]), a[3]));
#ifdef SYS_chmod
        case SYS_chmod:
            return on("chmod", atPath(pid, AT_FDCWD, a[0]));
#endif
        case SYS_fchmod:
            return on("chmod", fdPath(pid, fd0));
        case SYS_fchmodat:
            return on("chmod", atPath(pid, static_cast<int>(a[0]), a[1]));
        case SYS_fchown:
            return on("chown", fdPath(pid, fd0));
        case SYS_fchownat:
            return on("chown", atPath(pid, static_cast<int>(a[0]), a[1]));
        case SYS_ioctl: {
            const std::string path = fdPath(pid, fd0);
            if (a[1] == MEMERASE || a[1] == MEMERASE64) {
                return on("erase", path);
            }
            if (a[1] == MEMGETINFO || a[1] == MEMGETBADBLOCK) {
                return std::string();  // only asks
            }
            return on("ioctl", path);
        }
        case SYS_close: {
            const std::string path = fdPath(pid, fd0);
            return fdWritable(pid, fd0) ? on("close", path) : std::string();
        }
        case SYS_exit_group:
            target.clear();
            return "exit";
        default:
            return std::string();
    }
}

// Puts a named mark into the write log of a dm-log-writes device, as "dmsetup message DEV 0
// mark NAME" does, through device-mapper's control node: starting dmsetup for each of some
// hundred calls would cost minutes under emulation.
void mark(const Options& options, const std::string& name) {
    if (options.markDevice.empty()) {
        return;
    }
    const std::string message = "mark " + name;
    std::vector<char> buffer(sizeof(dm_ioctl) + sizeof(dm_target_msg) + message.size() + 1, '\0');
    auto* io = reinterpret_cast<dm_ioctl*>(buffer.data());
    io->version[0] = DM_VERSION_MAJOR;
    io->data_size = static_cast<uint32_t>(buffer.size());
    io->data_start = sizeof(dm_ioctl);
    std::strncpy(io->name, options.markDevice.c_str(), sizeof io->name - 1);
    auto* target = reinterpret_cast<dm_target_msg*>(buffer.data() + sizeof(dm_ioctl));
    target->sector = 0;
    std::memcpy(target->message, message.c_str(), message.size() + 1);
    const int control = ::open("/dev/mapper/control", O_RDWR | O_CLOEXEC);
    const bool ok = control >= 0 && ::ioctl(control, DM_TARGET_MSG, buffer.data()) == 0;
    if (control >= 0) {
        (void)::close(control);  // a control node: nothing to lose
    }
    if (!ok) {
        fatal("cannot put mark " + name + " into the write log of " + options.markDevice);
    }
}

void cutPower(long number, const std::string& what) {
    std::fprintf(stderr, "qv_powercut_trace: power cut before call %ld: %s\n", number,
                 what.c_str());
    std::fflush(stderr);
    // Emergency reboot: no sync, no unmount; the page cache and everything in flight is lost.
    const int trigger = ::open("/proc/sysrq-trigger", O_WRONLY);
    if (trigger < 0 || ::write(trigger, "b", 1) != 1) {
        fatal("cannot cut the power through /proc/sysrq-trigger");
    }
    ::pause();
    fatal("the power cut did not happen");
}

void makeDurable(const Options& options) {
    const int fd = ::open(options.durableBlock.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        fatal("cannot flush " + options.durableBlock);
    }
    (void)::close(fd);  // read only: the fsync above was the point
}

Options parse(int argc, char** argv) {
    Options options;
    int at = 1;
    for (; at < argc; ++at) {
        const std::string arg = argv[at];
        auto value = [&]() -> std::string {
            if (at + 1 >= argc) {
                fatal(arg + " needs a value");
            }
            return argv[++at];
        };
        if (arg == "--") {
            ++at;
            break;
        } else if (arg == "--list") {
            options.list = value();
        } else if (arg == "--mark") {
            options.markDevice = value();
        } else if (arg == "--exit-mark") {
            options.exitMarkPaths.push_back(value());
        } else if (arg == "--durable") {
            const std::string pair = value();
            const auto equals = pair.find('=');
            if (equals == std::string::npos) {
                fatal("--durable needs DEV=BDEV");
            }
            options.durableDevice = pair.substr(0, equals);
            options.durableBlock = pair.substr(equals + 1);
        } else if (arg == "--cut") {
            options.cut = std::strtol(value().c_str(), nullptr, 10);
        } else if (arg == "--signal") {
            const std::string pair = value();
            const auto colon = pair.find(':');
            if (colon == std::string::npos) {
                fatal("--signal needs N:SIG");
            }
            options.signalAt = std::strtol(pair.substr(0, colon).c_str(), nullptr, 10);
            options.signal =
                static_cast<int>(std::strtol(pair.substr(colon + 1).c_str(), nullptr, 10));
        } else if (arg == "--persistent") {
            options.persistent.push_back(value());
        } else {
            fatal("unknown option " + arg);
        }
    }
    if (options.persistent.empty()) {
        options.persistent = {"/mnt/hda1", "/dev/mtd", "/sys/block/mmcblk"};
    }
    for (; at < argc; ++at) {
        options.program.push_back(argv[at]);
    }
    if (options.program.empty()) {
        fatal("no program to run");
    }
    options.program.push_back(nullptr);
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    std::FILE* list = nullptr;
    if (!options.list.empty()) {
        list = std::fopen(options.list.c_str(), "a");
        if (list == nullptr) {
            fatal("cannot open " + options.list);
        }
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        fatal("fork failed");
    }
    if (pid == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || ::raise(SIGSTOP) != 0) {
            ::_exit(125);
        }
        ::execvp(options.program[0], options.program.data());
        std::fprintf(stderr, "qv_powercut_trace: cannot run %s\n", options.program[0]);
        ::_exit(127);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status) ||
        ::ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                 PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL) != 0) {
        fatal("cannot trace the program");
    }
    long number = 0;
    std::string pendingExitMark;  // mark to set when the current call returns
    bool pendingDurable = false;
    int deliver = 0;
    for (;;) {
        if (::ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(intptr_t{deliver})) !=
            0) {
            fatal("ptrace failed");
        }
        deliver = 0;
        if (::waitpid(pid, &status, 0) != pid) {
            if (errno == EINTR) {
                continue;
            }
            fatal("waitpid failed");
        }
        if (WIFEXITED(status)) {
            if (list != nullptr && std::fclose(list) != 0) {
                fatal("cannot write " + options.list);
            }
            return WEXITSTATUS(status);
        }
        if (WIFSIGNALED(status)) {
            std::fprintf(stderr, "qv_powercut_trace: the program died of signal %d\n",
                         WTERMSIG(status));
            return 128 + WTERMSIG(status);
        }
        if (!WIFSTOPPED(status)) {
            continue;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            // The exec event needs no signal; any other stop delivers its signal.
            if (status >> 8 != (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
                deliver = WSTOPSIG(status);
            }
            continue;
        }
        __ptrace_syscall_info info{};
        if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info) <=
            0) {
            fatal("PTRACE_GET_SYSCALL_INFO failed");
        }
        if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
            if (pendingDurable) {
                makeDurable(options);
                pendingDurable = false;
            }
            if (!pendingExitMark.empty()) {
                mark(options, pendingExitMark);
                pendingExitMark.clear();
            }
            continue;
        }
        if (info.op != PTRACE_SYSCALL_INFO_ENTRY) {
            continue;
        }
        std::string target;
        const std::string what = describe(pid, info, options, target);
        if (what.empty()) {
            continue;
        }
        ++number;
        if (list != nullptr) {
            std::fprintf(list, "%ld\t%s\n", number, what.c_str());
            std::fflush(list);
        }
        if (number == options.cut) {
            cutPower(number, what);
        }
        if (number == options.signalAt) {
            // Pending from now: delivered (through the stop below) once the call has run.
            std::fprintf(stderr, "qv_powercut_trace: signal %d before call %ld: %s\n",
                         options.signal, number, what.c_str());
            if (::kill(pid, options.signal) != 0) {
                fatal("cannot send the signal");
            }
        }
        mark(options, "e" + std::to_string(number));
        for (const auto& path : options.exitMarkPaths) {
            if (target == path) {
                pendingExitMark = "x" + std::to_string(number);
            }
        }
        pendingDurable =
            !options.durableDevice.empty() &&
            target.compare(0, options.durableDevice.size(), options.durableDevice) == 0;
    }
}
