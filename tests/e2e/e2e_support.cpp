// SPDX-License-Identifier: Apache-2.0
#include "e2e_support.h"

#include "mpio/process.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

std::string topologyPath;

Api load() {
    // Loaded for the life of the program, as a host keeps its plug-in.
    static mpio::loader::LoadResult loaded = mpio::loader::loadPlugin(PLUGIN_PATH);
    if (!loaded.plugin) throw std::runtime_error(mpio::loader::joinedErrors(loaded));
    if (!loaded.plugin->entryPoints().vendorName) throw std::runtime_error("the plug-in lacks _VendorName");
    return loaded.plugin->entryPoints();
}

template <class Call>
Listing filled(int capacity, Call call) {
    PathArray array(static_cast<std::size_t>(std::max(capacity, 0)));
    ErrorOut out;
    Listing l{0, capacity, {}, {}};
    l.result = call(array.data(), &l.count, out);
    l.paths = array.written();
    l.fault = array.fault(l.paths);
    if (!out.untouched()) l.fault += " error set: [" + out.text() + "]";
    if (l.result == 0 && l.count != static_cast<int>(l.paths.size())) l.fault += " count differs";
    return l;
}

} // namespace

Listing listDevices(int capacity) {
    return filled(capacity, [](char** paths, int* count, ErrorOut& out) {
        return api().getMPIODevices(nullptr, paths, count, &out.err, out.errbuf());
    });
}

Listing underlyingDevices(const std::string& device, int capacity) {
    return filled(capacity, [&](char** paths, int* count, ErrorOut& out) {
        return api().getUnderlyingDevices(nullptr, device.c_str(), paths, count, &out.err, out.errbuf());
    });
}

void setTopologyFile(const std::string& path) { topologyPath = path; }

const std::string& topologyFile() { return topologyPath; }

const TopologyFacts& topology() {
    static const TopologyFacts facts = readTopology(topologyPath);
    return facts;
}

const Api& api() {
    static const Api a = load();
    return a;
}

::testing::AssertionResult initialised() {
    static const bool done = [] {
        int err = 0;
        char errbuf[MAXMPIOERRORLEN] = {};
        return api().init(nullptr, &err, errbuf) != nullptr;
    }();
    if (done) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "init failed in the sandbox";
}

std::vector<TableEntry> sfdiskTable(const std::string& device) {
    mpio::process::Launch launch;
    launch.argv = {"sfdisk", "--dump", device};
    launch.searchAfterPath = {"/usr/sbin", "/sbin"};
    launch.errors = mpio::process::Sink::Discard;
    const std::string dump = mpio::process::run(launch).out;
    // /dev/emcpowerbk5 : start=       69632, size=       16384, type=83
    const std::regex line("^" + device + R"((\d+) : start= *(\d+), size= *(\d+))");
    std::vector<TableEntry> table;
    std::istringstream in(dump);
    for (std::string text; std::getline(in, text);) {
        std::smatch m;
        if (std::regex_search(text, m, line))
            table.push_back({std::stoi(m[1]), std::stoll(m[2]), std::stoll(m[3])});
    }
    if (table.empty()) throw std::runtime_error("sfdisk listed no partition of " + device + ":\n" + dump);
    return table;
}

std::pair<int, int> deviceNumbers(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {-1, -1};
    return {static_cast<int>(major(st.st_rdev)), static_cast<int>(minor(st.st_rdev))};
}

int adminMajorFromProcDevices() {
    std::ifstream in("/proc/devices");
    bool block = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "Block devices:") block = true;
        std::istringstream words(line);
        int number = 0;
        std::string name;
        if (block && (words >> number >> name) && name == "power2") return number;
    }
    return -1;
}

} // namespace e2e
