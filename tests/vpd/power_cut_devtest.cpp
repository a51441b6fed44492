// Power cuts during the installer's environment update, on the real MTD device of the QEMU
// harness. The update (setEnvValue, as the installer calls it) runs in a child process that
// is killed at every point of its run: before each of its system calls in turn, and after
// delays that sweep its whole duration. After each cut the boot environment is read back the
// way the boot loader reads it (boot_env_loader.h, independent of the code under test): it
// must be the old environment or the new one (old variables plus fwupdate_flag=1), never a
// mix and never lost, and the newer copy must not have been touched at all.

#include <sys/syscall.h>

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "qvcommontools/env_value.h"
#include "tests/flash/flash_device.h"
#include "tests/vpd/boot_env_loader.h"
#include "tests/vpd/env_samples.h"
#include "tests/vpd/update_child.h"

namespace KIVRA {
namespace {

using testing::BootEnvironment;
using testing::ChildEnd;
using testing::kEnvCopy1;
using testing::kEnvCopy2;
using testing::kEnvCopySize;
using testing::recordOf;
using testing::sampleVariables;
using testing::SyscallEntry;
using testing::withUpdateFlagSet;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

// Sanitizer runtimes make every system call and every fork slow, and so does the emulated
// 32-bit ARM guest (some five times slower than the x86-64 one): there the sweeps are
// thinned out (QV_POWER_CUT_SWEEP=thin), and the plain x86-64 device tier runs them in full.
// Every kind of state (untouched, erased, written) is still reached.
bool thinSweeps() {
    const char* sweep = std::getenv("QV_POWER_CUT_SWEEP");
    return kSanitizedBuild || (sweep != nullptr && std::string(sweep) == "thin");
}

int updateEnvironment() {
    std::string errorText;
    return qvcommontools::setEnvValue("fwupdate_flag", "1", 1, errorText) ? 0 : 1;
}

// The state of the flash before an update, and the record the update is to write.
struct Scenario {
    std::string name;
    std::string copy1;
    std::string copy2;
    int newer;             // the copy the update starts from: the newer, or the only intact one
    std::string expected;  // the record the update writes over the other copy

    int older() const { return 3 - newer; }
    const std::string& newerBytes() const { return newer == 1 ? copy1 : copy2; }
    const std::string& olderBytes() const { return newer == 1 ? copy2 : copy1; }
    uint32_t olderOffset() const { return newer == 1 ? kEnvCopy2 : kEnvCopy1; }
};

std::string withBadCrc(std::string record) {
    record[1] = static_cast<char>(record[1] ^ 0x01);
    return record;
}

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = [] {
        const auto old = sampleVariables(1);
        const auto current = sampleVariables(2);
        const auto currentWithFlag = sampleVariables(2, true);
        const std::string garbage = testing::unerasedPattern(kEnvCopySize, 77);
        return std::vector<Scenario>{
            {"Copy2NewerWithFlag8", recordOf(old, 7), recordOf(current, 8), 2,
             recordOf(withUpdateFlagSet(current), 9)},
            // The flag wraps: the record written with 0 must win over the newer copy's 255.
            {"Copy1NewerAt255", recordOf(currentWithFlag, 255), recordOf(old, 254), 1,
             recordOf(withUpdateFlagSet(currentWithFlag), 0)},
            {"Copy1At0NewerThanCopy2At255", recordOf(current, 0), recordOf(old, 255), 1,
             recordOf(withUpdateFlagSet(current), 1)},
            {"OnlyCopy1IntactCopy2Garbage", recordOf(current, 3), garbage, 1,
             recordOf(withUpdateFlagSet(current), 4)},
            // A bad copy with a higher flag must not be taken for the newer one.
            {"OnlyCopy2IntactCopy1BadCrc", withBadCrc(recordOf(old, 200)), recordOf(current, 3), 2,
             recordOf(withUpdateFlagSet(current), 4)},
        };
    }();
    return all;
}

std::string callName(const SyscallEntry& call) {
    std::string name;
    switch (call.nr) {
        case SYS_openat:
            name = "openat";
            break;
        case SYS_close:
            name = "close";
            break;
        case SYS_read:
            name = "read";
            break;
        case SYS_write:
            name = "write";
            break;
        case SYS_pread64:
            name = "pread64";
            break;
        case SYS_lseek:
            name = "lseek";
            break;
        case SYS_ioctl:
            name = call.args[1] == MEMERASE64 ? "ioctl MEMERASE64"
                   : call.args[1] == MEMERASE ? "ioctl MEMERASE"
                                              : "ioctl";
            break;
        case SYS_exit_group:
            name = "exit_group";
            break;
        default:
            name = "system call " + std::to_string(call.nr);
            break;
    }
    return call.onDevice ? name + " on /dev/mtd0" : name;
}

// What the cut left in the copy that the update replaces.
enum class OlderCopy { Untouched, Erased, PartlyWritten, Written, Other };

void PrintTo(OlderCopy state, std::ostream* out) {
    switch (state) {
        case OlderCopy::Untouched:
            *out << "untouched";
            break;
        case OlderCopy::Erased:
            *out << "erased";
            break;
        case OlderCopy::PartlyWritten:
            *out << "partly written";
            break;
        case OlderCopy::Written:
            *out << "written";
            break;
        case OlderCopy::Other:
            *out << "other bytes";
            break;
    }
}

OlderCopy classify(const std::string& now, const Scenario& s) {
    if (now == s.olderBytes()) {
        return OlderCopy::Untouched;
    }
    if (now == s.expected) {
        return OlderCopy::Written;
    }
    // Where erase blocks are smaller than a copy (the ARM guest's 16 KiB NAND blocks), the
    // copy is erased block by block from its start: a cut can leave its first blocks erased
    // and the rest as they were.
    const size_t erased = now.find_first_not_of('\xff');
    if (erased == std::string::npos ||
        (erased >= testing::norBlock() &&
         now.compare(erased / testing::norBlock() * testing::norBlock(), std::string::npos,
                     s.olderBytes(), erased / testing::norBlock() * testing::norBlock(),
                     std::string::npos) == 0)) {
        return OlderCopy::Erased;
    }
    size_t same = 0;
    while (same < now.size() && now[same] == s.expected[same]) {
        ++same;
    }
    return now.find_first_not_of('\xff', same) == std::string::npos ? OlderCopy::PartlyWritten
                                                                    : OlderCopy::Other;
}

struct Tally {
    size_t cuts = 0;
    size_t endedByItself = 0;
    size_t untouched = 0;
    size_t erased = 0;
    size_t partlyWritten = 0;
    size_t written = 0;
    size_t bootsOld = 0;
    size_t bootsNew = 0;

    std::string text() const {
        std::ostringstream out;
        out << cuts << " cut points (" << endedByItself << " after the update had ended); older "
            << "copy untouched " << untouched << ", erased " << erased << ", partly written "
            << partlyWritten << ", written " << written << "; loader boots old " << bootsOld
            << ", new " << bootsNew;
        return out.str();
    }
};

std::string describe(const BootEnvironment& env) {
    if (env.copy == 0) {
        return "no intact copy";
    }
    const auto variables = env.variables();
    std::ostringstream out;
    out << "copy " << env.copy << " with flag " << int{env.flag()} << " and " << variables.size()
        << " variables, the last being "
        << (variables.empty() ? std::string("none") : variables.back());
    return out.str();
}

void figures(const std::string& text) { std::cout << "[ figures  ] " << text << std::endl; }

class PowerCutTest : public testing::DeviceTest {
protected:
    void SetUp() override {
        testing::DeviceTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        // The blocks on both sides of the environment must come through every cut unchanged.
        below = testing::unerasedPattern(kEnvCopySize, 71);
        above = testing::unerasedPattern(kEnvCopySize, 72);
        mtd.write(kEnvCopy1 - kEnvCopySize, below);
        mtd.write(kEnvCopy2 + kEnvCopySize, above);
    }

    void arrange(const Scenario& s) { mtd.write(kEnvCopy1, s.copy1 + s.copy2); }

    // The checks after one cut; counts the outcome in tally and gives what the cut left in
    // the older copy.
    OlderCopy checkAfterCut(const Scenario& s, const ChildEnd& end, const std::string& where,
                            Tally& tally) {
        const std::string region = mtd.read(kEnvCopy1 - kEnvCopySize, 4 * kEnvCopySize);
        const std::string copy1 = region.substr(kEnvCopySize, kEnvCopySize);
        const std::string copy2 = region.substr(2 * kEnvCopySize, kEnvCopySize);
        const std::string& newerNow = s.newer == 1 ? copy1 : copy2;
        const std::string& olderNow = s.newer == 1 ? copy2 : copy1;
        EXPECT_TRUE(region.substr(0, kEnvCopySize) == below &&
                    region.substr(3 * kEnvCopySize) == above)
            << where << ": flash next to the environment changed";
        EXPECT_TRUE(newerNow == s.newerBytes()) << where << ": the newer copy was touched";

        const OlderCopy state = classify(olderNow, s);
        EXPECT_NE(state, OlderCopy::Other)
            << where << ": the older copy holds neither its old bytes, nor erased flash, nor "
            << "(a beginning of) the new record";
        const BootEnvironment env = testing::chooseBootEnvironment(copy1, copy2);
        const bool bootsOld = env.copy == s.newer && env.bytes == s.newerBytes();
        const bool bootsNew = env.copy == s.older() && env.bytes == s.expected;
        EXPECT_TRUE(bootsOld || bootsNew)
            << where << ": the boot loader finds " << describe(env)
            << " instead of the old environment or the old one plus fwupdate_flag=1";
        if (!end.cut) {
            EXPECT_EQ(end.exitStatus, 0) << where << ": the update failed";
        }
        if (!end.cut || state == OlderCopy::Written) {
            EXPECT_TRUE(bootsNew) << where << ": the update is complete but the boot loader finds "
                                  << describe(env);
        }

        ++tally.cuts;
        tally.endedByItself += end.cut ? 0 : 1;
        tally.untouched += state == OlderCopy::Untouched ? 1 : 0;
        tally.erased += state == OlderCopy::Erased ? 1 : 0;
        tally.partlyWritten += state == OlderCopy::PartlyWritten ? 1 : 0;
        tally.written += state == OlderCopy::Written ? 1 : 0;
        tally.bootsOld += bootsOld ? 1 : 0;
        tally.bootsNew += bootsNew ? 1 : 0;
        return state;
    }

    // The next update after a cut (the installer run again) must end with the old variables
    // plus the flag in the newest copy, whatever the cut left behind.
    void checkNextUpdate(const Scenario& s, const std::string& where) {
        const ChildEnd end = testing::runChild(updateEnvironment);
        EXPECT_EQ(end.exitStatus, 0) << where << ", then run again: the update failed";
        const BootEnvironment env = testing::loadBootEnvironment(mtd);
        const auto flag = static_cast<uint8_t>(s.expected[4]);
        EXPECT_TRUE(env.copy != 0 && env.bytes.substr(5) == s.expected.substr(5) &&
                    (env.flag() == flag || env.flag() == static_cast<uint8_t>(flag + 1)))
            << where << ", then run again: the boot loader finds " << describe(env);
    }

    testing::RawMtd mtd;
    std::string below;
    std::string above;
};

TEST(BootEnvLoader, CrcAgreesWithTheBitwiseReference) {
    const std::string data = testing::randomBytes(70000, 5);
    for (size_t length : {size_t{0}, size_t{1}, size_t{65531}, data.size()}) {
        EXPECT_EQ(testing::loaderCrc32(data.data(), length),
                  testing::referenceCrc32(data.substr(0, length)))
            << length;
    }
}

class PowerCutBeforeEachSystemCall : public PowerCutTest,
                                     public ::testing::WithParamInterface<size_t> {};

// The first scenario is cut before every one of its system calls. The others, whose reading
// phase is the same, are cut before every 10th call up to the erase, and from the erase on
// before every call up to 20 after the last write of the device, then every 10th.
TEST_P(PowerCutBeforeEachSystemCall, LeavesOldOrNewEnvironmentAndNewerCopyUntouched) {
    const Scenario& s = scenarios()[GetParam()];
    arrange(s);
    ChildEnd whole;
    const std::vector<SyscallEntry> calls = testing::traceChild(updateEnvironment, &whole);
    ASSERT_EQ(whole.exitStatus, 0) << "the traced update failed";
    Tally uncut;
    checkAfterCut(s, whole, "traced run without a cut", uncut);
    size_t firstErase = 0;
    size_t lastWrite = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (firstErase == 0 && testing::isEraseRequest(calls[i])) {
            firstErase = i + 1;
        }
        if (calls[i].onDevice && (calls[i].nr == SYS_write || calls[i].nr == SYS_pwrite64)) {
            lastWrite = i + 1;
        }
    }
    ASSERT_TRUE(firstErase != 0 && lastWrite > firstErase) << "the update wrote no flash";
    if (HasFailure()) {
        return;
    }

    const bool full = GetParam() == 0;
    const size_t strideBefore = (full ? 1 : 10) * (thinSweeps() ? 10 : 1);
    const size_t denseAfter = lastWrite - firstErase + (thinSweeps() ? 3 : 20);
    const size_t strideAfter = full && !thinSweeps() ? 1 : 10;
    std::vector<testing::CutPoint> cuts;
    for (size_t k = 1; k < firstErase; ++k) {
        if (k % strideBefore == 0 || k + 1 == firstErase) {
            cuts.push_back({testing::CutPoint::FromStart, k});
        }
    }
    for (size_t k = 0; firstErase + k <= calls.size(); ++k) {
        if (k <= denseAfter || k % strideAfter == 0 || firstErase + k == calls.size()) {
            cuts.push_back({testing::CutPoint::FromErase, k});
        }
    }

    Tally tally;
    size_t nextUpdates = 0;
    for (const testing::CutPoint& cut : cuts) {
        arrange(s);
        SyscallEntry at;
        const ChildEnd end = testing::runChildCutAt(updateEnvironment, cut, &at);
        const std::string where =
            "cut before system call " +
            (cut.anchor == testing::CutPoint::FromStart ? std::to_string(cut.k)
                                                        : "erase + " + std::to_string(cut.k)) +
            " (" + callName(at) + "; the traced run made " + std::to_string(calls.size()) +
            " calls, the erase being call " + std::to_string(firstErase) + ")";
        const OlderCopy state = checkAfterCut(s, end, where, tally);
        if (state != OlderCopy::Untouched || tally.cuts % 25 == 0) {
            checkNextUpdate(s, where);
            ++nextUpdates;
        }
        if (HasFailure()) {
            break;  // one cut point's report is enough to go on
        }
    }
    figures(s.name + ": " + std::to_string(calls.size()) + " system calls, erase at " +
            std::to_string(firstErase) + ", last write at " + std::to_string(lastWrite) +
            "; cut before system calls: " + tally.text() + "; update run again after " +
            std::to_string(nextUpdates) + " of the cuts");
    EXPECT_GT(tally.erased, 0u) << "no cut point between the erase and the write";
    EXPECT_GT(tally.untouched, 0u);
    EXPECT_GT(tally.written, 0u);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PowerCutBeforeEachSystemCall, ::testing::Range<size_t>(0, 5),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return scenarios()[info.param].name;
                         });

// SIGKILL cannot stop the kernel in the middle of an MTD write, but a power cut can: the
// older copy then holds the beginning of the new record and erased flash after it. Every
// such state must leave the old environment bootable, and the next update must replace it.
TEST_F(PowerCutTest, PartlyWrittenOlderCopyIsIgnoredAndReplacedByTheNextUpdate) {
    const Scenario& s = scenarios()[0];
    std::vector<size_t> lengths = {0, 1, 4, 5, 6, 64, 4095, kEnvCopySize - 1};
    for (size_t length = 4096; length < kEnvCopySize; length += 4096) {
        lengths.push_back(length);
    }
    Tally tally;
    for (size_t length : lengths) {
        const std::string torn =
            s.expected.substr(0, length) + std::string(kEnvCopySize - length, '\xff');
        const std::string where = "older copy written up to byte " + std::to_string(length);
        mtd.write(kEnvCopy1, s.newer == 1 ? s.copy1 + torn : torn + s.copy2);
        ChildEnd cut;
        cut.cut = true;
        checkAfterCut(s, cut, where, tally);
        // The next update starts from the newer copy again and writes the whole record.
        const ChildEnd end = testing::runChild(updateEnvironment);
        EXPECT_EQ(end.exitStatus, 0) << where;
        EXPECT_TRUE(mtd.read(s.olderOffset(), kEnvCopySize) == s.expected)
            << where << ": the next update did not write the new record over the torn copy";
        EXPECT_TRUE(mtd.read(s.newer == 1 ? kEnvCopy1 : kEnvCopy2, kEnvCopySize) == s.newerBytes())
            << where << ": the next update touched the newer copy";
        if (HasFailure()) {
            break;
        }
    }
    figures("torn writes: " + tally.text());
    EXPECT_EQ(tally.bootsOld, lengths.size());
}

// Cuts by time, as a power cut comes: after delays that sweep the whole update (measured
// first), then densely over the stretch in which the older copy changed.
TEST_F(PowerCutTest, CutsAtAnyTimeLeaveOldOrNewEnvironment) {
    const Scenario& s = scenarios()[0];
    std::vector<double> durations;
    Tally uncut;
    for (int i = 0; i < 5; ++i) {
        arrange(s);
        const ChildEnd end = testing::runChild(updateEnvironment);
        checkAfterCut(s, end, "run without a cut", uncut);
        ASSERT_FALSE(HasFailure());
        durations.push_back(end.seconds);
    }
    std::sort(durations.begin(), durations.end());
    const double duration = durations[durations.size() / 2];

    struct Point {
        double delay;
        OlderCopy state;
    };
    std::vector<Point> points;
    Tally sweep;
    auto cutAt = [&](double delay, Tally& tally) {
        arrange(s);
        const ChildEnd end = testing::runChild(updateEnvironment, delay);
        std::ostringstream where;
        where << "cut " << std::fixed << std::setprecision(1) << delay * 1e6 << " us into the "
              << "update";
        checkAfterCut(s, end, where.str(), tally);
        const std::string older = mtd.read(s.olderOffset(), kEnvCopySize);
        points.push_back({delay, end.cut ? classify(older, s) : OlderCopy::Written});
    };
    // 0 to 120% of the typical duration, then far beyond it for runs that take longer.
    const int steps = thinSweeps() ? 30 : 100;
    std::vector<double> delays;
    for (int i = 0; i <= steps * 6 / 5; ++i) {
        delays.push_back(duration * i / steps);
    }
    for (double factor : {1.5, 2.0, 3.0, 10.0}) {
        delays.push_back(duration * factor);
    }
    for (size_t i = 0; i < delays.size() && !HasFailure(); ++i) {
        cutAt(delays[i], sweep);
    }

    // The stretch between the last cut that left the older copy untouched and the first one
    // that found it changed holds the erase and the write; it is widened by three steps on
    // each side because runs vary in speed by more than its width.
    double changed = 2 * duration;
    for (const Point& p : points) {
        if (p.state != OlderCopy::Untouched) {
            changed = std::min(changed, p.delay);
        }
    }
    double untouched = 0;
    for (const Point& p : points) {
        if (p.state == OlderCopy::Untouched && p.delay < changed) {
            untouched = std::max(untouched, p.delay);
        }
    }
    const double step = duration / steps;
    const double from = std::max(0.0, untouched - 3 * step);
    const double to = changed + 3 * step;
    Tally dense;
    const int densePoints = thinSweeps() ? 20 : 60;
    for (int i = 0; i <= densePoints && !HasFailure(); ++i) {
        cutAt(from + (to - from) * i / densePoints, dense);
    }

    std::ostringstream text;
    text << std::fixed << std::setprecision(0) << "update takes " << duration * 1e6
         << " us (median of 5); sweep over 0 to 120% of it and 4 points up to 10 times it: "
         << sweep.text() << "; dense over " << from * 1e6 << " to " << to * 1e6
         << " us: " << dense.text();
    figures(text.str());
    EXPECT_GT(sweep.untouched, 0u);
    EXPECT_GT(sweep.bootsNew, 0u);
}

}  // namespace
}  // namespace KIVRA
