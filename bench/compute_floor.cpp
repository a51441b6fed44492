// The compute floor of an installation: what LibTomCrypt needs to decrypt and digest the same
// number of bytes in memory, in one pass, one transfer unit at a time: AES-256 in counter
// mode and MD5 of the plain bytes (and, with --sha256, SHA-256 of the stored bytes, as a
// signed package adds). No file, no system call inside the loop: an install can only come
// near this figure, never under it. install_bench.sh measures an installer run against it.
//
//   compute_floor BYTES [--sha256]
//
// Prints "<wall seconds> <CPU seconds>" on one line.

#include <sys/resource.h>
#include <tomcrypt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qvsystemtools/file_io.h"

namespace {

double cpuSeconds() {
    rusage usage{};
    (void)getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || (argc > 2 && std::strcmp(argv[2], "--sha256") != 0)) {
        std::fprintf(stderr, "usage: compute_floor BYTES [--sha256]\n");
        return 2;
    }
    const unsigned long long total = std::strtoull(argv[1], nullptr, 10);
    const bool sha256 = argc > 2;
    if (register_cipher(&aes_desc) == -1) {
        return 1;
    }
    // Pseudo-random content: the cipher and the digests take the same time over any bytes,
    // but the buffer is not left as zero pages.
    std::vector<unsigned char> buffer(KIVRA::qvsystemtools::kTransferUnit);
    for (size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    const unsigned char key[32] = {1};
    const unsigned char iv[16] = {2};

    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    symmetric_CTR ctr;
    hash_state md5;
    hash_state sha;
    if (ctr_start(find_cipher("aes"), iv, key, 32, 0, CTR_COUNTER_LITTLE_ENDIAN, &ctr) !=
            CRYPT_OK ||
        md5_init(&md5) != CRYPT_OK || sha256_init(&sha) != CRYPT_OK) {
        return 1;
    }
    for (unsigned long long done = 0; done < total;) {
        const unsigned long length =
            static_cast<unsigned long>(std::min<unsigned long long>(buffer.size(), total - done));
        if ((sha256 && sha256_process(&sha, buffer.data(), length) != CRYPT_OK) ||
            ctr_decrypt(buffer.data(), buffer.data(), length, &ctr) != CRYPT_OK ||
            md5_process(&md5, buffer.data(), length) != CRYPT_OK) {
            return 1;
        }
        done += length;
    }
    unsigned char digest[32];
    if (md5_done(&md5, digest) != CRYPT_OK || sha256_done(&sha, digest) != CRYPT_OK ||
        ctr_done(&ctr) != CRYPT_OK) {
        return 1;
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    std::printf("%.4f %.4f\n", wall.count(), cpuSeconds() - cpuStart);
    return 0;
}
