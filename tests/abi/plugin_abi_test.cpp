// SPDX-License-Identifier: Apache-2.0
// The built plug-in's ELF dynamic section: exactly the specified exports, and
// no dependency on any host library (its host services stay undefined).
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct DynamicInfo {
    std::set<std::string> defined;   // global or weak symbols with a definition
    std::set<std::string> undefined; // symbols bound at load time
    std::vector<std::string> needed; // DT_NEEDED entries
};

template <typename T>
T readAt(const std::vector<char>& image, std::size_t offset) {
    if (offset + sizeof(T) > image.size()) throw std::runtime_error("truncated ELF file");
    T value;
    std::memcpy(&value, image.data() + offset, sizeof(T));
    return value;
}

std::string stringAt(const std::vector<char>& image, std::size_t table, std::size_t offset) {
    const std::size_t at = table + offset;
    if (at >= image.size()) throw std::runtime_error("string outside the file");
    return std::string(image.data() + at, strnlen(image.data() + at, image.size() - at));
}

DynamicInfo readDynamicInfo(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto header = readAt<Elf64_Ehdr>(image, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
        throw std::runtime_error(path + " is not a 64-bit ELF file");
    std::vector<Elf64_Shdr> sections;
    for (unsigned i = 0; i < header.e_shnum; ++i)
        sections.push_back(readAt<Elf64_Shdr>(image, header.e_shoff + i * header.e_shentsize));

    DynamicInfo info;
    for (const Elf64_Shdr& s : sections) {
        if (s.sh_type == SHT_DYNSYM) {
            const std::size_t strings = sections.at(s.sh_link).sh_offset;
            for (std::size_t off = s.sh_entsize; off < s.sh_size; off += s.sh_entsize) {
                const auto sym = readAt<Elf64_Sym>(image, s.sh_offset + off);
                const std::string name = stringAt(image, strings, sym.st_name);
                const int bind = ELF64_ST_BIND(sym.st_info);
                if (bind != STB_GLOBAL && bind != STB_WEAK) continue;
                (sym.st_shndx == SHN_UNDEF ? info.undefined : info.defined).insert(name);
            }
        } else if (s.sh_type == SHT_DYNAMIC) {
            const std::size_t strings = sections.at(s.sh_link).sh_offset;
            for (std::size_t off = 0; off + sizeof(Elf64_Dyn) <= s.sh_size; off += sizeof(Elf64_Dyn)) {
                const auto dyn = readAt<Elf64_Dyn>(image, s.sh_offset + off);
                if (dyn.d_tag == DT_NULL) break;
                if (dyn.d_tag == DT_NEEDED) info.needed.push_back(stringAt(image, strings, dyn.d_un.d_val));
            }
        }
    }
    return info;
}

const std::set<std::string> kExpectedExports = {
    "init",
    "getVendorName",
    "getMPIODevices",
    "isMPIODevice",
    "getUnderlyingDevices",
    "refreshMPIO",
    "deleteMPIODevice",
    "isPartitionDevice",
    "getPartitionDevices",
    "_VendorName",
    // listMPIODevices(std::map<MpDev, std::string>&)
    "_Z15listMPIODevicesRSt3mapI5MpDevNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEESt4lessIS0_ESaISt4pairIKS0_S6_EEE",
    // FindMpDeviceName(char const*, std::string&)
    "_Z16FindMpDeviceNamePKcRNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
    "_Zlt5MpDevS_", // operator<(MpDev, MpDev)
    "_Zeq5MpDevS_", // operator==(MpDev, MpDev)
    "_Zne5MpDevS_", // operator!=(MpDev, MpDev)
};

TEST(PluginAbi, ExportsExactlyTheSpecifiedSymbols) {
    const DynamicInfo info = readDynamicInfo(PLUGIN_PATH);
    std::vector<std::string> extra, missing;
    std::set_difference(info.defined.begin(), info.defined.end(), kExpectedExports.begin(),
                        kExpectedExports.end(), std::back_inserter(extra));
    std::set_difference(kExpectedExports.begin(), kExpectedExports.end(), info.defined.begin(),
                        info.defined.end(), std::back_inserter(missing));
    EXPECT_TRUE(extra.empty()) << "unexpected export: " << ::testing::PrintToString(extra);
    EXPECT_TRUE(missing.empty()) << "missing export: " << ::testing::PrintToString(missing);
}

TEST(PluginAbi, HostServicesStayUndefined) {
    const DynamicInfo info = readDynamicInfo(PLUGIN_PATH);
    for (const char* service : {"_ZN9TmProcess6systemEPKcPNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES8_ib",
                                "_ZN7EvDebugC1EP19EvDebugFileInstance", "_ZN7EvDebugD1Ev",
                                "_ZN7EvDebug5DebugEPKcS1_z", "_ZN7EvDebug8DebugLvlEPKciS1_z",
                                "_ZN8FXString5SplitERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES7_RSt6vectorIS5_SaIS5_EEj",
                                "_Z13getPartitionsPKcPNSt7__cxx114listI5sliceSaIS3_EEE"})
        EXPECT_TRUE(info.undefined.count(service)) << service << " is not left to the host";
}

TEST(PluginAbi, DependsOnNoHostLibrary) {
    const DynamicInfo info = readDynamicInfo(PLUGIN_PATH);
    ASSERT_FALSE(info.needed.empty()) << "the C++ runtime at least is expected";
    for (const std::string& lib : info.needed) {
        EXPECT_EQ(lib.find("TmHost"), std::string::npos) << lib;
        EXPECT_EQ(lib.find("fake_host"), std::string::npos) << lib;
        EXPECT_EQ(lib.find("blkid"), std::string::npos) << lib;
    }
}

} // namespace
