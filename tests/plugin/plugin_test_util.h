// Shared helpers of the plug-in's unit tests.
#ifndef TESTS_PLUGIN_TEST_UTIL_H
#define TESTS_PLUGIN_TEST_UTIL_H

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "dev_fixture.h"
#include "fake_host.h"

// The error code and error buffer of one call, pre-filled with sentinels so
// that a test can tell whether the plug-in wrote them.
struct ErrorOut {
    static constexpr int kUntouched = 0x5eed;
    int err = kUntouched;
    std::array<char, MAXMPIOERRORLEN> buf;
    ErrorOut() { buf.fill('#'); }
    char* errbuf() { return buf.data(); }
    bool untouched() const {
        for (char c : buf)
            if (c != '#') return false;
        return err == kUntouched;
    }
    std::string text() const { return std::string(buf.data(), strnlen(buf.data(), buf.size())); }
    // A copied text leaves NUL bytes from its end to the last byte.
    bool zeroFilledAfterText() const {
        for (std::size_t i = text().size(); i < buf.size(); ++i)
            if (buf[i] != '\0') return false;
        return true;
    }
};

// A caller's path array of n buffers of MAXMPIOPATHLEN bytes.
struct PathArray {
    std::vector<std::array<char, MAXMPIOPATHLEN>> buffers;
    std::vector<char*> pointers;
    explicit PathArray(std::size_t n) : buffers(n) {
        for (auto& b : buffers) {
            b.fill('#');
            pointers.push_back(b.data());
        }
    }
    char** data() { return pointers.data(); }
    std::string at(std::size_t i) const {
        return std::string(buffers[i].data(), strnlen(buffers[i].data(), MAXMPIOPATHLEN));
    }
    bool untouched(std::size_t i) const {
        for (char c : buffers[i])
            if (c != '#') return false;
        return true;
    }
    bool zeroFilledAfterText(std::size_t i) const {
        for (std::size_t k = at(i).size(); k < MAXMPIOPATHLEN; ++k)
            if (buffers[i][k] != '\0') return false;
        return true;
    }
};

// Every test starts with a fresh fake host.
class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override { fakehost::reset(); }
};

// The command lines the plug-in runs.
inline const std::string kPartitionListing =
    "cat /proc/partitions | grep \"emcpower\" | awk '{print $1\" \"$2\" \"$4}'";
inline const std::string kPseudoListing =
    "powermt display dev=all | grep -a 'Pseudo' | awk 'BEGIN {FS=\"=\";} {print $2;}'";
inline std::string pathQuery(const std::string& bareName) {
    return "powermt display dev=" + bareName +
           " | grep -a -v '=' | grep -a 'sd' | awk '/active|passive/ { print $3 }' ";
}

// The admin major number the device-node tests use.
inline constexpr int kAdminMajor = 120;

// A fresh fake host and an empty private /dev for every test, with the
// admin major number set as init would set it.
class DeviceNodeTest : public DevNodeTest {
protected:
    void SetUp() override;
};

#endif
