// SPDX-License-Identifier: Apache-2.0
#include "sandbox/topology_generator.h"

#include "machine/device_names.h"
#include "machine/topology.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace sim {
namespace {

constexpr unsigned kMaxPaths = 16;
constexpr std::uint32_t kMillion = 1000000;
constexpr std::uint64_t kMinDeviceKib = 2048;
// The most devices of the most paths still have sd names and numbers.
static_assert(kPseudoLimit * kMaxPaths <= kSdDiskLimit);

// SplitMix64: a small PRNG whose sequence is fixed by its definition, so a
// seed gives the same topology with any compiler and library.
class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // A value below `bound` (> 0); the bias of the modulo is below 2^-40 here.
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
    bool chance(std::uint32_t ppm) { return below(kMillion) < ppm; }

private:
    std::uint64_t state_;
};

[[noreturn]] void bad(const std::string& why) { throw std::invalid_argument("--generate: " + why); }

std::uint64_t unsignedValue(std::string_view key, std::string_view text, std::uint64_t low, std::uint64_t high) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        bad(std::string(key) + " must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
            ", not '" + std::string(text) + "'");
    return value;
}

// "0.05" -> 50000: a decimal share from 0 to 1 with up to six decimals, in
// millionths, read digit by digit so that no rounding enters.
std::uint32_t shareValue(std::string_view key, std::string_view text) {
    const auto fail = [&] {
        bad(std::string(key) + " must be a share from 0 to 1 with at most six decimals, not '" + std::string(text) +
            "'");
    };
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    if (whole != "0" && whole != "1") fail();
    if (dot != std::string_view::npos && (fraction.empty() || fraction.size() > 6)) fail();
    std::uint32_t ppm = whole == "1" ? kMillion : 0;
    std::uint32_t scale = kMillion / 10;
    for (const char c : fraction) {
        if (c < '0' || c > '9') fail();
        ppm += static_cast<std::uint32_t>(c - '0') * scale;
        scale /= 10;
    }
    if (ppm > kMillion) fail();
    return ppm;
}

// "symmetrix:2+clariion:1+vnx:1": the number of arrays of each kind.
void parseArrays(std::string_view text, MachineDescription& machine) {
    machine.symmetrix = machine.clariion = machine.vnx = 0;
    bool seen[3] = {};
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t plus = std::min(text.find('+', from), text.size());
        const std::string_view item = text.substr(from, plus - from);
        const std::size_t colon = item.find(':');
        const std::string_view kind = item.substr(0, colon);
        const std::string_view count = colon == std::string_view::npos ? "1" : item.substr(colon + 1);
        const int which = kind == "symmetrix" ? 0 : kind == "clariion" ? 1 : kind == "vnx" ? 2 : -1;
        if (which < 0 || seen[which])
            bad("arrays must be symmetrix, clariion and vnx, each at most once, with an optional :COUNT, joined by '+', "
                "not '" +
                std::string(text) + "'");
        seen[which] = true;
        const auto n = static_cast<unsigned>(unsignedValue("an array count", count, 0, 99));
        (which == 0 ? machine.symmetrix : which == 1 ? machine.clariion : machine.vnx) = n;
        from = plus + 1;
    }
    if (machine.symmetrix + machine.clariion + machine.vnx == 0) bad("arrays must name at least one array");
}

void applyKey(std::string_view key, std::string_view value, MachineDescription& machine) {
    if (key == "devices")
        machine.devices = unsignedValue(key, value, 1, kPseudoLimit);
    else if (key == "paths")
        machine.paths = static_cast<unsigned>(unsignedValue(key, value, 1, kMaxPaths));
    else if (key == "partitions")
        machine.partitions = static_cast<unsigned>(unsignedValue(key, value, 0, kMaxPartition));
    else if (key == "arrays")
        parseArrays(value, machine);
    else if (key == "dead")
        machine.deadPpm = shareValue(key, value);
    else if (key == "standby")
        machine.standbyPpm = shareValue(key, value);
    else if (key == "seed")
        machine.seed = unsignedValue(key, value, 0, UINT64_MAX);
    else if (key == "size") {
        std::uint64_t bytes = 0;
        try {
            bytes = parseSize(value);
        } catch (const std::invalid_argument&) {
            bad("size must be a size such as 1G, not '" + std::string(value) + "'");
        }
        if (bytes < kMinDeviceKib * 1024) bad("size must be at least 2M, not '" + std::string(value) + "'");
        machine.deviceKib = bytes / 1024;
    } else {
        bad("unknown key '" + std::string(key) +
            "' (keys: devices, paths, partitions, arrays, dead, standby, seed, size)");
    }
}

struct Array {
    ArrayKind kind;
    std::string id;
    unsigned long nextLun = 0;
};

std::vector<Array> makeArrays(const MachineDescription& machine) {
    std::vector<Array> arrays;
    char id[32];
    for (unsigned k = 0; k < machine.symmetrix; ++k) {
        std::snprintf(id, sizeof id, "00019030%04u", k);
        arrays.push_back({ArrayKind::Symmetrix, id});
    }
    for (unsigned k = 0; k < machine.clariion; ++k) {
        std::snprintf(id, sizeof id, "APM001122%05u", k);
        arrays.push_back({ArrayKind::Clariion, id});
    }
    for (unsigned k = 0; k < machine.vnx; ++k) {
        std::snprintf(id, sizeof id, "CKM001234%05u", k);
        arrays.push_back({ArrayKind::Vnx, id});
    }
    return arrays;
}

void appendDevice(std::string& out, unsigned long index, Array& array, SplitMix64& random,
                  const MachineDescription& machine) {
    char line[256];
    const std::string name = pseudoName(index);
    const bool symm = array.kind == ArrayKind::Symmetrix;
    const char owner = random.below(2) ? 'B' : 'A';
    if (symm) {
        std::snprintf(line, sizeof line, "device %s symmetrix id=%s ldev=%05lX size=%lluK\n", name.c_str(),
                      array.id.c_str(), index, static_cast<unsigned long long>(machine.deviceKib));
    } else {
        std::snprintf(line, sizeof line,
                      "device %s %s id=%s group=hostgroup1 ldev=60060160%08lX lun=%lu size=%lluK owner=%c "
                      "current-owner=%c\n",
                      name.c_str(), array.kind == ArrayKind::Clariion ? "clariion" : "vnx", array.id.c_str(), index,
                      array.nextLun++, static_cast<unsigned long long>(machine.deviceKib), owner, owner);
    }
    out += line;
    for (unsigned j = 0; j < machine.paths; ++j) {
        const bool dead = random.chance(machine.deadPpm);
        const bool standby = random.chance(machine.standbyPpm);
        char port[32];
        if (symm)
            std::snprintf(port, sizeof port, "FA  %ueA", 7 + j);
        else
            std::snprintf(port, sizeof port, "SP %c%u", j % 2 ? 'B' : 'A', j / 2);
        std::snprintf(line, sizeof line, "  path %s %s \"%s\" %s %s\n", sdName(index * machine.paths + j).c_str(),
                      j % 2 ? "lpfc" : "qla2xxx", port, standby ? "standby" : "active", dead ? "dead" : "alive");
        out += line;
    }
    if (machine.partitions > 0) out += "  partitions " + std::to_string(machine.partitions) + "\n";
}

} // namespace

MachineDescription parseMachineDescription(std::string_view text) {
    MachineDescription machine;
    bool haveDevices = false;
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        const std::string_view item = text.substr(from, comma - from);
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) bad("expected KEY=VALUE, not '" + std::string(item) + "'");
        applyKey(item.substr(0, eq), item.substr(eq + 1), machine);
        haveDevices = haveDevices || item.substr(0, eq) == "devices";
        from = comma + 1;
    }
    if (!haveDevices) bad("devices=N is required");
    // The same limits as every topology's, so that the sandbox takes what is made.
    const std::string passed = limitPassed(
        {0, machine.devices * machine.paths, machine.devices * devNodesOf(machine.paths, machine.partitions)});
    if (!passed.empty())
        bad("devices=" + std::to_string(machine.devices) + ",paths=" + std::to_string(machine.paths) +
            ",partitions=" + std::to_string(machine.partitions) + ": " + passed);
    return machine;
}

std::string generateTopology(const MachineDescription& machine) {
    std::vector<Array> arrays = makeArrays(machine);
    SplitMix64 random(machine.seed);
    std::string out;
    out.reserve(machine.devices * (160 + 48 * machine.paths));
    char head[256];
    std::snprintf(head, sizeof head,
                  "# Generated: devices=%lu,paths=%u,partitions=%u,arrays=symmetrix:%u+clariion:%u+vnx:%u,"
                  "dead=%u.%06u,standby=%u.%06u,seed=%llu,size=%lluK\nadmin-major 120\n",
                  machine.devices, machine.paths, machine.partitions, machine.symmetrix, machine.clariion, machine.vnx,
                  machine.deadPpm / kMillion, machine.deadPpm % kMillion, machine.standbyPpm / kMillion,
                  machine.standbyPpm % kMillion, static_cast<unsigned long long>(machine.seed),
                  static_cast<unsigned long long>(machine.deviceKib));
    out += head;
    for (unsigned long i = 0; i < machine.devices; ++i)
        appendDevice(out, i, arrays[random.below(arrays.size())], random, machine);
    if (const std::string passed = limitPassed({out.size(), 0, 0}); !passed.empty()) bad(passed);
    return out;
}

} // namespace sim
