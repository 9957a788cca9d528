// Text output: aligned tables and bounded record names.
#include <gtest/gtest.h>

#include <cstring>

#include "report.h"

namespace mpioctl {
namespace {

TEST(FormatTable, AlignsColumnsLeftOrRight) {
    const std::string table = formatTable({{"NAME", "PARTNO", "START"},
                                           {"/dev/emcpowera1", "1", "2048"},
                                           {"/dev/emcpowera12", "12", "123456789"}},
                                          {false, true, true});
    EXPECT_EQ(table,
              "NAME              PARTNO      START\n"
              "/dev/emcpowera1        1       2048\n"
              "/dev/emcpowera12      12  123456789\n");
    // No blanks after the last cell of a row, however short the row.
    EXPECT_EQ(formatTable({{"a", "bb"}, {"ccc"}}, {}), "a    bb\nccc\n");
}

TEST(RecordName, StopsAtTheEndOfAnUnterminatedName) {
    TmPartInfo record{};
    std::memset(record.name, 'n', sizeof record.name);
    record.partNo = 7; // the bytes after the name must not be read as text
    EXPECT_EQ(recordName(record), std::string(sizeof record.name, 'n'));
    std::strcpy(record.name, "/dev/emcpowerb3");
    EXPECT_EQ(recordName(record), "/dev/emcpowerb3");
}

} // namespace
} // namespace mpioctl
