// SPDX-License-Identifier: Apache-2.0
// The partition-table reader on disk images made with sfdisk.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "TmHostServices.h"
#include "mpio/process.h"
#include "tmhost/TmHost.h"
#include "temp_dir.h"
#include "text.h"

namespace {

using namespace mpiotest;

struct Part {
    int partNo;
    int64_t start;
    int64_t size;
    bool operator==(const Part&) const = default;
};

// Runs sfdisk (with these arguments, the script on its standard input);
// true when it succeeded.
bool sfdisk(std::vector<std::string> arguments, const std::string& script = "") {
    mpio::process::Launch launch;
    launch.argv = {"sfdisk", "-q"};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    launch.searchAfterPath = {"/usr/sbin", "/sbin"};
    launch.input = mpio::process::Input::Text;
    launch.inputText = script;
    return mpio::process::run(launch).exitedWith(0);
}

std::ostream& operator<<(std::ostream& out, const Part& p) {
    return out << "#" << p.partNo << " " << p.start << "+" << p.size;
}

class PartitionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sfdisk({"--version"})) GTEST_SKIP() << "sfdisk is not installed (Debian package fdisk)";
    }

    // A 32 MiB image partitioned by the sfdisk script (none when empty).
    std::string image(const std::string& name, const std::string& script) {
        const std::string path = dir / name;
        std::ofstream{path}.close();
        EXPECT_EQ(::truncate(path.c_str(), 32 << 20), 0) << path;
        if (!script.empty()) {
            EXPECT_TRUE(sfdisk({path}, script)) << "sfdisk " << path << " < " << script;
        }
        return path;
    }

    // The partitions read from path; the reserved bytes must be zero.
    std::vector<Part> read(const std::string& path, int expectedResult) {
        std::list<slice> slices;
        EXPECT_EQ(getPartitions(path.c_str(), &slices), expectedResult);
        std::vector<Part> parts;
        for (const slice& s : slices) {
            EXPECT_EQ(s.reserved, 0u);
            EXPECT_EQ(s.reserved2, 0);
            parts.push_back({s.partNo, s.start, s.size});
        }
        return parts;
    }

    TempDir dir;
};

// An MBR with logical partitions inside an extended one; a GPT whose entry 3
// was deleted keeps the numbers of the others.
TEST_F(PartitionsTest, TablesAsSfdiskWroteThem) {
    const std::string mbr = image("mbr.img", "label: dos\nstart=2048, size=4096, type=83\n"
                                             "start=6144, size=40960, type=5\nstart=8192, size=4096, type=83\n"
                                             "start=14336, size=8192, type=82\nstart=47104, size=2048, type=83\n");
    EXPECT_EQ(read(mbr, 5), (std::vector<Part>{{1, 2048, 4096}, {2, 6144, 40960}, {3, 47104, 2048},
                                               {5, 8192, 4096}, {6, 14336, 8192}}));
    const std::string gpt = image("gpt.img", "label: gpt\nstart=2048, size=2048\nstart=4096, size=4096\n"
                                             "start=8192, size=1024\nstart=10240, size=8192\n");
    ASSERT_TRUE(sfdisk({"--delete", gpt, "3"}));
    EXPECT_EQ(read(gpt, 3), (std::vector<Part>{{1, 2048, 2048}, {2, 4096, 4096}, {4, 10240, 8192}}));
}

TEST_F(PartitionsTest, EntriesBeyondTheDeviceAreLeftOutAndLogged) {
    // The table was written for 32 MiB; the image then shrank to 8 MiB
    // (16384 sectors), so partition 2 ends beyond it and partition 3 starts
    // beyond it. A huge MBR size (2^32 - 1 sectors) cannot fit either.
    const std::string path = image("shrunk.img",
                                   "label: dos\n"
                                   "start=2048, size=4096, type=83\n"
                                   "start=8192, size=40000, type=83\n"
                                   "start=50000, size=2048, type=83\n");
    ASSERT_EQ(::truncate(path.c_str(), 8 << 20), 0);
    const std::string log = dir / "log";
    ASSERT_TRUE(tmhost::configureLog(tmhost::LogSink::File, 0, log));
    EXPECT_EQ(read(path, 1), (std::vector<Part>{{1, 2048, 4096}}));
    tmhost::configureLog(tmhost::LogSink::Off, 0);
    const std::string logged = readFile(log);
    EXPECT_NE(logged.find("partition 2 (start 8192, 40000 sectors) ignored: it ends beyond the device; "
                          "the device has 16384 sectors"),
              std::string::npos)
        << logged;
    EXPECT_NE(logged.find("partition 3 (start 50000, 2048 sectors) ignored"), std::string::npos) << logged;
}

TEST_F(PartitionsTest, ImageWithoutTableHasNoPartitionsAndKeepsTheList) {
    const std::string path = image("blank.img", "");
    std::list<slice> slices = {slice{7, 8, 0, 9, 0}};
    EXPECT_EQ(getPartitions(path.c_str(), &slices), 0);
    ASSERT_EQ(slices.size(), 1u);
    EXPECT_EQ(slices.front().partNo, 9);
    // Appending: earlier elements stay in front.
    const std::string gpt = image("one.img", "label: gpt\nstart=2048, size=2048\n");
    EXPECT_EQ(getPartitions(gpt.c_str(), &slices), 1);
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(slices.back().partNo, 1);
}

TEST_F(PartitionsTest, BadPathsGiveNegativeErrno) {
    const std::string plain = dir / "plain";
    std::ofstream(plain) << "x";
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Row {
        std::string path;
        int result;
    };
    std::vector<Row> rows = {
        {dir / "missing.img", -ENOENT},
        {"", -ENOENT},
        {dir / "", -EISDIR},
        {plain + "/inside", -ENOTDIR},
        {fifo, -ENOTBLK}, // and the open does not wait for a writer
    };
    if (::geteuid() != 0) { // root reads a file of mode 000 all the same
        const std::string locked = image("locked.img", "");
        ::chmod(locked.c_str(), 0);
        rows.push_back({locked, -EACCES});
    }
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        std::list<slice> slices;
        EXPECT_EQ(getPartitions(r.path.c_str(), &slices), r.result);
        EXPECT_TRUE(slices.empty());
    }
    std::list<slice> slices;
    EXPECT_EQ(getPartitions(nullptr, &slices), -EINVAL);
    EXPECT_EQ(getPartitions(plain.c_str(), nullptr), -EINVAL);
}

} // namespace
