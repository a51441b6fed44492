// scripts/install-deps against a stand-in apt: what a machine with an out-of-date package
// index or a package its lists do not know makes of the set-up.

#include "tests/support/test_support.h"

namespace KIVRA {
namespace {

using testing::readBytes;
using testing::writeBytes;

struct AptRow {
    const char* name;
    int failedUpdates;    // how many updates fail before one succeeds
    const char* unknown;  // a package the lists do not have, or ""
    int exitStatus;
    const char* calls;    // the stand-ins' calls, in order
    const char* warning;  // in standard error, or ""
};

void PrintTo(const AptRow& row, std::ostream* out) { *out << row.name; }

const AptRow kRows[] = {
    {"FreshIndex", 0, "", 0, "update\ninstall a b\n", ""},
    {"OneIndexOutOfDate", 1, "", 0, "update\nsleep 15\nupdate\ninstall a b\n",
     "install-deps: warning: apt-get update failed; trying again in 15 s\n"},
    {"IndexNeverFetched", 9, "", 0, "update\nsleep 15\nupdate\ninstall a b\n",
     "install-deps: warning: apt-get update failed again; installing from the package lists "
     "present\n"},
    {"UnknownPackage", 0, "b", 1, "update\ninstall a b\ninstall a\ninstall b\n",
     "install-deps: cannot install: b\n"},
};

class InstallDepsTest : public testing::SandboxTest,
                        public ::testing::WithParamInterface<AptRow> {};

TEST_P(InstallDepsTest, UpdateFailuresWarnAndOnlyUninstallablePackagesFail) {
    const AptRow& row = GetParam();
    const std::string bin = tempDir() / "bin";
    const std::string calls = tempDir() / "calls";
    ASSERT_EQ(::system(("mkdir -p " + bin).c_str()), 0);
    // Nothing is installed; apt fails its first updates and knows every package but one.
    writeBytes(bin + "/dpkg-query", "#!/bin/sh\nexit 1\n");
    writeBytes(bin + "/sleep", "#!/bin/sh\necho \"sleep $*\" >>" + calls + "\n");
    writeBytes(bin + "/sudo", "#!/bin/sh\nexec \"$@\"\n");
    writeBytes(bin + "/apt-get",
               "#!/bin/sh\n"
               "while [ \"${1#-}\" != \"$1\" ]; do [ \"$1\" = -o ] && shift; shift; done\n"
               "verb=$1; shift\n"
               "if [ \"$verb\" = update ]; then\n"
               "  echo update >>" +
                   calls +
                   "\n"
                   "  n=$(cat " +
                   calls + ".updates 2>/dev/null || echo 0); echo $((n + 1)) >" + calls +
                   ".updates\n"
                   "  [ \"$n\" -ge " +
                   std::to_string(row.failedUpdates) +
                   " ]; exit\n"
                   "fi\n"
                   "names=; for a; do [ \"${a#-}\" = \"$a\" ] && names=\"$names $a\"; done\n"
                   "echo \"install${names}\" >>" +
                   calls +
                   "\n"
                   "for a in $names; do [ \"$a\" = '" +
                   row.unknown +
                   "' ] && exit 100; done\n"
                   "exit 0\n");
    ASSERT_EQ(::system(("chmod +x " + bin + "/*").c_str()), 0);
    const auto run = testing::runProcess({testing::sourcePath("scripts/install-deps"), "a", "b"},
                                         {"PATH=" + bin + ":/usr/bin:/bin"});
    EXPECT_EQ(run.exitStatus, row.exitStatus) << run.err;
    EXPECT_EQ(readBytes(calls), row.calls);
    EXPECT_NE(run.err.find(row.warning), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Index, InstallDepsTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace KIVRA
