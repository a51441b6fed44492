// Throughput of package decryption and file digests against their baselines: decryptFile
// beside a bare LibTomCrypt counter-mode loop over memory (one transfer unit per call), the
// whole-file digest getMd5Sum beside coreutils md5sum.
//
//   crypto_throughput FILE WORKDIR [ROUNDS]
//
// FILE is read by every measurement (the page cache keeps it warm after the first); the
// decrypted copy is written to WORKDIR (and removed). Each figure is the median of ROUNDS
// (default 5).
// bench/crypto_throughput.sh makes the 256 MiB input and runs this.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tomcrypt.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "crypto/qv_encryption.h"
#include "installer/kivra_installer.h"
#include "qvsystemtools/file_io.h"

extern char** environ;

namespace {

struct Timing {
    std::vector<double> walls;
    std::vector<double> cpus;  // user + system time of this process and its waited children
    static double median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 != 0 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }
    double wall() const { return median(walls); }
    double cpu() const { return median(cpus); }
};

double cpuSeconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        (void)getrusage(who, &usage);
        total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

void measure(const std::function<bool()>& run, Timing& timing) {
    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    if (!run()) {
        std::fprintf(stderr, "crypto_throughput: a measured run failed\n");
        std::exit(1);
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    timing.walls.push_back(wall.count());
    timing.cpus.push_back(cpuSeconds() - cpuStart);
}

// Counter mode over a buffer in memory, no files: the cipher's own speed on this machine.
bool rawCounterMode(size_t total, size_t call) {
    if (register_cipher(&aes_desc) == -1) {
        return false;
    }
    unsigned char key[32] = {1};
    unsigned char iv[16] = {2};
    symmetric_CTR ctr;
    if (ctr_start(find_cipher("aes"), iv, key, 32, 0, CTR_COUNTER_LITTLE_ENDIAN, &ctr) !=
        CRYPT_OK) {
        return false;
    }
    // One buffer of one call's size, warm in the cache: the cipher alone, no memory traffic.
    std::vector<unsigned char> buffer(call, 0x5a);
    for (size_t done = 0; done < total;) {
        const size_t length = std::min(call, total - done);
        if (ctr_encrypt(buffer.data(), buffer.data(), length, &ctr) != CRYPT_OK) {
            return false;
        }
        done += length;
    }
    return ctr_done(&ctr) == CRYPT_OK;
}

bool coreutilsMd5sum(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"/usr/bin/md5sum", path.c_str(), nullptr};
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: crypto_throughput FILE WORKDIR [ROUNDS]\n");
        return 2;
    }
    const std::string file = argv[1];
    const std::string out = std::string(argv[2]) + "/decrypted";
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        std::perror(file.c_str());
        return 1;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    const double mib = static_cast<double>(st.st_size) / (1024.0 * 1024.0);

    KIVRA::QvEncryption crypto;
    if (crypto.setKey("4.2.1-r7") != 0) {
        return 1;
    }
    // Warm the page cache so the first measured round does not pay for the disk.
    (void)coreutilsMd5sum(file);

    // The rounds interleave the measurements, so load from other processes on a shared
    // machine weighs on all of them alike; each figure is the median of its rounds. CPU time
    // (user + system, children included) is the steadier figure when the machine is shared:
    // every measured run is bound by the processor, the input being in the page cache.
    std::string digest;
    struct Run {
        const char* label;
        std::function<bool()> run;
        Timing timing;
    };
    std::vector<Run> runs = {
        {"raw ctr_encrypt over memory (64 KiB calls)",
         [&] { return rawCounterMode(size, KIVRA::qvsystemtools::kTransferUnit); },
         {}},
        {"QvEncryption::decryptFile", [&] { return crypto.decryptFile(file, out) == 0; }, {}},
        {"KivraInstaller::getMd5Sum",
         [&] { return KIVRA::KivraInstaller::getMd5Sum(file, digest) == 0; },
         {}},
        {"coreutils md5sum", [&] { return coreutilsMd5sum(file); }, {}},
    };
    for (int round = 0; round < rounds; ++round) {
        for (Run& r : runs) {
            // Removing the last output is not part of the decryption's cost.
            (void)::unlink(out.c_str());
            measure(r.run, r.timing);
        }
    }
    (void)::unlink(out.c_str());

    std::printf("input: %.0f MiB, median of %d rounds     wall MiB/s   CPU MiB/s\n", mib, rounds);
    for (const Run& r : runs) {
        std::printf("%-44s %8.1f %11.1f\n", r.label, mib / r.timing.wall(), mib / r.timing.cpu());
    }
    const Timing& raw = runs[0].timing;
    const Timing& decrypt = runs[1].timing;
    const Timing& md5 = runs[2].timing;
    const Timing& coreutils = runs[3].timing;
    const double decryptCpu = raw.cpu() / decrypt.cpu();
    const double digestCpu = coreutils.cpu() / md5.cpu();
    std::printf("decrypt / raw loop:  wall %.2fx, CPU %.2fx (target >= 0.95x) %s\n",
                raw.wall() / decrypt.wall(), decryptCpu, decryptCpu >= 0.95 ? "met" : "MISSED");
    std::printf("getMd5Sum / md5sum:  wall %.2fx, CPU %.2fx (target >= 0.95x) %s\n",
                coreutils.wall() / md5.wall(), digestCpu, digestCpu >= 0.95 ? "met" : "MISSED");
    return 0;
}
