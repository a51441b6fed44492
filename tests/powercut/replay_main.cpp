// qv_powercut_replay: lists a dm-log-writes log and replays it onto a copy of the logged device.
//
//   qv_powercut_replay list LOG               one line per entry: index, kind, sector, count, mark
//   qv_powercut_replay apply LOG TARGET FROM TO
//                                             applies entries FROM + 1 to TO (1-based) to TARGET
//
// Exit status 0, or 1 with a message on standard error.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "tests/powercut/write_log.h"

namespace {

int openOrThrow(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + path);
    }
    return fd;
}

int usage() {
    std::fprintf(stderr,
                 "usage: qv_powercut_replay list LOG\n"
                 "       qv_powercut_replay apply LOG TARGET FROM TO\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::string(argv[1]) == "list") {
            const int log = openOrThrow(argv[2], O_RDONLY);
            const KIVRA::powercut::WriteLog entries(log);
            size_t index = 0;
            for (const auto& entry : entries.entries()) {
                ++index;
                std::printf("%zu %s %llu %llu %s\n", index, entry.kind().c_str(),
                            static_cast<unsigned long long>(entry.sector),
                            static_cast<unsigned long long>(entry.sectors),
                            entry.isMark() ? entry.mark.c_str() : "-");
            }
            (void)::close(log);  // read only: nothing to lose
            return 0;
        }
        if (argc == 6 && std::string(argv[1]) == "apply") {
            const int log = openOrThrow(argv[2], O_RDONLY);
            const int target = openOrThrow(argv[3], O_RDWR);
            const KIVRA::powercut::WriteLog entries(log);
            entries.apply(target, std::stoul(argv[4]), std::stoul(argv[5]));
            if (::fsync(target) != 0 || ::close(target) != 0) {
                throw std::runtime_error(std::string("cannot write ") + argv[3]);
            }
            (void)::close(log);  // read only: nothing to lose
            return 0;
        }
        return usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qv_powercut_replay: %s\n", e.what());
        return 1;
    }
}
