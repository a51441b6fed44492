#pragma once
// Runs a piece of work (an environment update) in a forked child process and cuts it off
// with SIGKILL, the nearest a test gets to pulling the power: after a delay measured from the
// moment the work starts, or exactly before its k-th system call (the child runs under
// ptrace with a seccomp filter that hands every system call to the tracer before it runs; the
// child is killed in that stop, so the call never runs). A traced run can also record what
// the work did to the MTD device: each erase request and each write with its device offset.
//
// Flash only changes inside system calls, and the kernel does not act on SIGKILL in the
// middle of an MTD write, so cutting before every system call in turn reaches every state a
// killed update can leave behind.

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace KIVRA {
namespace testing {

using Work = std::function<int()>;  // runs in the child; its result is the exit status

struct ChildEnd {
    bool cut = false;     // the child died of the SIGKILL sent to it
    int exitStatus = -1;  // when it ended by itself
    double seconds = 0;   // from the start of the work until the child was reaped
};

// One system call of a traced child, as it was about to run.
struct SyscallEntry {
    uint64_t nr = 0;
    uint64_t args[6] = {};
    bool onDevice = false;  // its first argument is a descriptor of the device traced for
    uint64_t position = 0;  // that descriptor's file position (for write)
    erase_info_user64 erase{};
};

// What a traced run did to the device: erase requests and writes, as device byte ranges.
struct DeviceOps {
    std::vector<std::pair<uint64_t, uint64_t>> erases;  // start, length
    std::vector<std::pair<uint64_t, uint64_t>> writes;  // offset, length
    std::vector<std::string> others;                    // other ways of changing the device
    size_t reads = 0;
};

namespace childdetail {

inline void quiet() {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        (void)::dup2(null, 1);  // the work's console lines would only clutter the test log
        (void)::dup2(null, 2);
    }
}

// Forks after flushing, so that the child cannot repeat output the test process buffered.
inline pid_t forkQuiet() {
    std::cout.flush();
    std::cerr.flush();
    (void)std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        quiet();
    }
    return pid;
}

inline ChildEnd reap(pid_t pid) {
    ChildEnd end;
    int status = 0;
    pid_t got;
    do {
        got = ::waitpid(pid, &status, 0);
    } while ((got < 0 && errno == EINTR) || (got == pid && WIFSTOPPED(status)));
    if (got == pid && WIFSIGNALED(status)) {
        end.cut = WTERMSIG(status) == SIGKILL;
    } else if (got == pid && WIFEXITED(status)) {
        end.exitStatus = WEXITSTATUS(status);
    }
    return end;
}

inline std::string fdLink(pid_t pid, uint64_t fd) {
    return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
}

inline bool isDevice(pid_t pid, uint64_t fd, dev_t device) {
    struct stat st {};
    return fd < 1u << 20 && ::stat(fdLink(pid, fd).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == device;
}

inline uint64_t filePosition(pid_t pid, uint64_t fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key;
    uint64_t value = 0;
    while (info >> key) {
        if (key == "pos:" && info >> value) {
            return value;
        }
    }
    return ~uint64_t{0};
}

inline bool peek(pid_t pid, uint64_t address, void* out, size_t size) {
    iovec local{out, size};
    iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size};
    return ::process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

inline bool takesDescriptor(uint64_t nr) {
    switch (nr) {
        case SYS_ioctl:
        case SYS_write:
        case SYS_pwrite64:
        case SYS_writev:
        case SYS_pwritev:
        case SYS_read:
        case SYS_pread64:
            return true;
        default:
            return false;
    }
}

// Runs work in a traced child; onEntry sees each system call before it runs and returns true
// to kill the child right there.
inline ChildEnd traced(const Work& work, dev_t device,
                       const std::function<bool(size_t, const SyscallEntry&)>& onEntry) {
    const pid_t pid = forkQuiet();
    if (pid < 0) {
        return ChildEnd{};
    }
    if (pid == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            ::_exit(126);
        }
        (void)::raise(SIGSTOP);  // the tracer sets its options here
        // One stop per system call, at its entry, and none for the setup above.
        sock_filter everyCall[] = {BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE)};
        sock_fprog program{1, everyCall};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            ::_exit(126);
        }
        ::_exit(work());
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status) ||
        ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL) != 0) {
        (void)::kill(pid, SIGKILL);
        (void)reap(pid);
        return ChildEnd{};
    }
    size_t entries = 0;
    int deliver = 0;
    for (;;) {
        if (::ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(intptr_t{deliver})) != 0 ||
            ::waitpid(pid, &status, 0) != pid) {
            (void)::kill(pid, SIGKILL);
            return reap(pid);
        }
        deliver = 0;
        if (WIFEXITED(status)) {
            return ChildEnd{false, WEXITSTATUS(status), 0};
        }
        if (WIFSIGNALED(status)) {
            return ChildEnd{WTERMSIG(status) == SIGKILL, -1, 0};
        }
        if (status >> 8 != (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8))) {
            deliver = WSTOPSIG(status);  // a signal of the child's own: pass it on
            continue;
        }
        __ptrace_syscall_info info{};
        if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info) <=
                0 ||
            info.op != PTRACE_SYSCALL_INFO_SECCOMP) {
            (void)::kill(pid, SIGKILL);  // a stop this tracer cannot read
            (void)reap(pid);
            return ChildEnd{};
        }
        SyscallEntry entry;
        entry.nr = info.seccomp.nr;
        for (int i = 0; i < 6; ++i) {
            entry.args[i] = info.seccomp.args[i];
        }
        if (takesDescriptor(entry.nr) && isDevice(pid, entry.args[0], device)) {
            entry.onDevice = true;
            entry.position = filePosition(pid, entry.args[0]);
            if (entry.nr == SYS_ioctl && entry.args[1] == MEMERASE64) {
                (void)peek(pid, entry.args[2], &entry.erase, sizeof entry.erase);
            } else if (entry.nr == SYS_ioctl && entry.args[1] == MEMERASE) {
                erase_info_user small{};
                if (peek(pid, entry.args[2], &small, sizeof small)) {
                    entry.erase.start = small.start;
                    entry.erase.length = small.length;
                }
            }
        }
        if (onEntry(++entries, entry)) {
            (void)::kill(pid, SIGKILL);
            return reap(pid);
        }
    }
}

inline dev_t deviceNumber(const std::string& node) {
    struct stat st {};
    return ::stat(node.c_str(), &st) == 0 ? st.st_rdev : 0;
}

}  // namespace childdetail

// Runs work to its end (delay < 0) or kills it delay seconds after it started.
inline ChildEnd runChild(const Work& work, double delay = -1) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        return ChildEnd{};
    }
    const pid_t pid = childdetail::forkQuiet();
    if (pid == 0) {
        (void)::close(ready[0]);
        const char go = 'g';
        if (::write(ready[1], &go, 1) != 1) {
            ::_exit(126);
        }
        ::_exit(work());
    }
    (void)::close(ready[1]);
    char go = 0;
    const bool started = pid > 0 && ::read(ready[0], &go, 1) == 1;
    const auto start = std::chrono::steady_clock::now();
    (void)::close(ready[0]);
    if (pid < 0) {
        return ChildEnd{};
    }
    if (started && delay >= 0) {
        timespec at{};
        (void)::clock_gettime(CLOCK_MONOTONIC, &at);
        const long long ns = at.tv_nsec + static_cast<long long>(delay * 1e9);
        at.tv_sec += static_cast<time_t>(ns / 1000000000);
        at.tv_nsec = static_cast<long>(ns % 1000000000);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    if (!started || delay >= 0) {
        (void)::kill(pid, SIGKILL);  // a child that has already ended is not hurt by it
    }
    ChildEnd end = childdetail::reap(pid);
    end.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return end;
}

inline bool isEraseRequest(const SyscallEntry& call) {
    return call.onDevice && call.nr == SYS_ioctl &&
           (call.args[1] == MEMERASE64 || call.args[1] == MEMERASE);
}

// Where a cut falls: before the k-th system call of the work (k from 1), or before the k-th
// system call after the first erase request on the device (k = 0: before the erase itself).
// Counting from the erase keeps the cut points on the flash writes where the number of calls
// before them varies from run to run (memory mapping calls of sanitizer runtimes).
struct CutPoint {
    enum Anchor { FromStart, FromErase };
    Anchor anchor;
    size_t k;
};

// Runs work under ptrace and kills it at the cut point; a child that makes fewer calls runs to
// its end. at receives the system call that the cut prevented.
inline ChildEnd runChildCutAt(const Work& work, CutPoint cut, SyscallEntry* at = nullptr,
                              const std::string& node = "/dev/mtd0") {
    size_t erase = 0;
    return childdetail::traced(
        work, childdetail::deviceNumber(node), [&](size_t n, const SyscallEntry& entry) {
            if (erase == 0 && isEraseRequest(entry)) {
                erase = n;
            }
            const bool here =
                cut.anchor == CutPoint::FromStart ? n == cut.k : erase != 0 && n == erase + cut.k;
            if (here && at != nullptr) {
                *at = entry;
            }
            return here;
        });
}

// Runs work under ptrace to its end and gives every system call it made.
inline std::vector<SyscallEntry> traceChild(const Work& work, ChildEnd* end = nullptr,
                                            const std::string& node = "/dev/mtd0") {
    std::vector<SyscallEntry> calls;
    const ChildEnd result = childdetail::traced(work, childdetail::deviceNumber(node),
                                                [&](size_t, const SyscallEntry& entry) {
                                                    calls.push_back(entry);
                                                    return false;
                                                });
    if (end != nullptr) {
        *end = result;
    }
    return calls;
}

// Sorts the traced calls on the device into erases, writes and anything else that changes it.
inline DeviceOps deviceOps(const std::vector<SyscallEntry>& calls) {
    DeviceOps ops;
    for (const SyscallEntry& call : calls) {
        if (!call.onDevice) {
            continue;
        }
        switch (call.nr) {
            case SYS_ioctl:
                if (isEraseRequest(call)) {
                    ops.erases.emplace_back(call.erase.start, call.erase.length);
                } else if (call.args[1] != MEMGETINFO && call.args[1] != MEMGETBADBLOCK) {
                    ops.others.push_back("ioctl " + std::to_string(call.args[1]));
                }
                break;
            case SYS_write:
                ops.writes.emplace_back(call.position, call.args[2]);
                break;
            case SYS_pwrite64:
                ops.writes.emplace_back(call.args[3], call.args[2]);
                break;
            case SYS_read:
            case SYS_pread64:
                ++ops.reads;
                break;
            default:
                ops.others.push_back("system call " + std::to_string(call.nr));
                break;
        }
    }
    return ops;
}

}  // namespace testing
}  // namespace KIVRA
