// SPDX-License-Identifier: Apache-2.0
#include "machine/device_names.h"

#include <gtest/gtest.h>

namespace {

struct LetterCase {
    unsigned long index;
    const char* name;
};

TEST(LetterNames, BijectiveBase26BothWays) {
    const LetterCase cases[] = {{0, "a"},     {1, "b"},     {25, "z"},    {26, "aa"},    {27, "ab"},
                                {51, "az"},   {52, "ba"},   {78, "ca"},   {675, "yz"},   {676, "za"},
                                {701, "zz"},  {702, "aaa"}, {703, "aab"}, {728, "aba"},  {18277, "zzz"},
                                {18278, "aaaa"}};
    for (const auto& c : cases) {
        EXPECT_EQ(sim::letterName(c.index), c.name) << c.index;
        ASSERT_TRUE(sim::letterIndex(c.name).has_value()) << c.name;
        EXPECT_EQ(*sim::letterIndex(c.name), c.index) << c.name;
    }
}

TEST(LetterNames, EveryIndexUpToFourLettersRoundTrips) {
    for (unsigned long i = 0; i < 20000; ++i) {
        const auto back = sim::letterIndex(sim::letterName(i));
        ASSERT_TRUE(back.has_value()) << i;
        ASSERT_EQ(*back, i);
    }
}

TEST(LetterNames, RejectsTextThatIsNotLowerCaseLetters) {
    for (const char* bad : {"", "A", "a1", "a-", " a", "\xe4", "aaaaaaaaa"})
        EXPECT_FALSE(sim::letterIndex(bad).has_value()) << bad;
}

TEST(DeviceNames, PseudoAndSdNames) {
    EXPECT_EQ(sim::pseudoIndex("emcpowera"), 0UL);
    EXPECT_EQ(sim::pseudoIndex("/dev/emcpowerab"), 27UL);
    EXPECT_EQ(sim::pseudoName(26), "emcpoweraa");
    for (const char* bad : {"emcpower", "emcpowera1", "dev/emcpowera", "emcpowerA", "sda", "xemcpowera"})
        EXPECT_FALSE(sim::pseudoIndex(bad).has_value()) << bad;
    EXPECT_EQ(sim::sdIndex("sda"), 0UL);
    EXPECT_EQ(sim::sdIndex("sdiv"), 255UL);
    EXPECT_EQ(sim::sdIndex("sdiw"), 256UL);
    EXPECT_EQ(sim::sdIndex("sdzz"), 701UL);
    EXPECT_EQ(sim::sdIndex("sdaaa"), 702UL);
    EXPECT_EQ(sim::sdIndex("sdbgqcv"), 1048575UL); // the last disk whose minor fits in 20 bits
    for (const char* bad : {"sd", "sdbgqcw", "sda1", "hda", "/dev/sda"})
        EXPECT_FALSE(sim::sdIndex(bad).has_value()) << bad;
}

TEST(DeviceNames, SdNumbersFollowTheSdDriver) {
    struct Case {
        unsigned long disk;
        int major;
        unsigned minor;
    };
    const Case cases[] = {{0, 8, 0},     {1, 8, 16},     {15, 8, 240},    {16, 65, 0},
                          {17, 65, 16},  {127, 71, 240}, {128, 128, 0},   {255, 135, 240},
                          // past 256 disks the index's bits from 8 on go into the minor
                          {256, 8, 256}, {4095, 135, 4080}, {4096, 8, 4096}, {39999, 67, 40176}};
    for (const auto& c : cases) {
        const auto n = sim::sdNumber(c.disk);
        EXPECT_EQ(n.major, c.major) << c.disk;
        EXPECT_EQ(n.minor, c.minor) << c.disk;
    }
}

} // namespace
