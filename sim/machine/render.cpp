// SPDX-License-Identifier: Apache-2.0
#include "machine/render.h"

#include "machine/device_names.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <map>

namespace sim {
namespace {

const std::string kRule(78, '=');

// Left-justifies `text` in a column of `width`, keeping at least one blank
// after it so that the columns stay separate words.
void column(std::string& out, const std::string& text, std::size_t width) {
    out += text;
    out.append(text.size() < width ? width - text.size() : 1, ' ');
}

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    char buffer[256];
    const int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    std::string out;
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof buffer) {
        out.assign(buffer, static_cast<std::size_t>(n));
    } else if (n >= 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, again);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

std::string partitionLine(int major, unsigned minor, std::uint64_t kib, const std::string& name) {
    return format("%4d  %7u %10" PRIu64 " %s\n", major, minor, kib, name.c_str());
}

bool alive(const Device& d) {
    for (const auto& p : d.paths)
        if (p.state == PathState::Alive) return true;
    return false;
}

} // namespace

std::string displayBlock(const Device& d) {
    const bool symm = d.kind == ArrayKind::Symmetrix;
    std::uint64_t queued = 0;
    for (const auto& p : d.paths) queued += p.queued;

    std::string out = "Pseudo name=" + d.name + "\n";
    out += std::string(arrayKindName(d.kind)) + " ID=" + d.arrayId;
    if (!symm) out += " [" + d.group + "]";
    out += "\nLogical device ID=" + d.ldev;
    if (!symm) out += " [LUN " + std::to_string(d.lun) + "]";
    out += "\n";
    out += format("state=%s; policy=%s; priority=0; queued-IOs=%" PRIu64 "\n", alive(d) ? "alive" : "dead",
                  symm ? "SymmOpt" : "CLAROpt", queued);
    if (!symm) out += format("Owner: default=SP %c, current=SP %c\tArray failover mode: 4\n", d.owner, d.currentOwner);
    out += kRule + "\n";
    out += "--------------- Host ---------------   - Stor -   -- I/O Path --  -- Stats ---\n";
    out += "###  HW Path               I/O Paths    Interf.   Mode    State   Q-IOs Errors\n";
    out += kRule + "\n";
    long position = 0;
    for (const auto& p : d.paths) {
        std::string line = format("%4ld ", p.hba >= 0 ? p.hba : position);
        column(line, p.driver, 22);
        column(line, p.sd, 13);
        column(line, p.port, 10);
        column(line, pathModeName(p.mode), 8);
        column(line, pathStateName(p.state), 8);
        line += format("%5" PRIu64 " %6" PRIu64 "\n", p.queued, p.errors);
        out += line;
        ++position;
    }
    out += "\n";
    return out;
}

std::string displayAll(const Topology& topology, const NameSet& configured) {
    std::string out;
    for (const auto& d : topology.devices)
        if (configured.count(d.name)) out += displayBlock(d);
    return out;
}

std::string procPartitions(const Topology& topology, const NameSet& configured) {
    std::string out = "major minor  #blocks  name\n\n";
    std::map<unsigned long, std::pair<const Path*, const Device*>> disks;
    for (const auto& d : topology.devices)
        for (const auto& p : d.paths) disks[p.disk] = {&p, &d};
    for (const auto& [disk, entry] : disks) {
        const auto [path, device] = entry;
        const DevNumber n = sdNumber(disk);
        out += partitionLine(n.major, n.minor, device->kib, path->sd);
        for (const auto& part : device->partitions)
            out += partitionLine(n.major, n.minor + static_cast<unsigned>(part.number), part.kib,
                                 path->sd + std::to_string(part.number));
    }
    for (const auto& d : topology.devices) {
        if (!configured.count(d.name)) continue;
        const unsigned minor = static_cast<unsigned>(d.index * 16);
        out += partitionLine(topology.adminMajor, minor, d.kib, d.name);
        for (const auto& part : d.partitions)
            out += partitionLine(topology.adminMajor, minor + static_cast<unsigned>(part.number), part.kib,
                                 d.name + std::to_string(part.number));
    }
    return out;
}

std::string procDevices(const Topology& topology) {
    std::map<int, std::string> block = {{259, "blkext"}};
    for (const int major : kSdMajors) block[major] = "sd";
    block[kLoopMajor] = "loop";
    block[topology.adminMajor] = "power2"; // replaces loop when the pseudo devices are loop-backed
    std::string out = "Character devices:\n"
                      "  1 mem\n"
                      "  4 /dev/vc/0\n"
                      "  4 tty\n"
                      "  5 /dev/tty\n"
                      "  5 /dev/console\n"
                      "  5 /dev/ptmx\n"
                      " 10 misc\n"
                      " 21 sg\n"
                      "136 pts\n"
                      "\n"
                      "Block devices:\n";
    for (const auto& [major, name] : block) out += format("%3d %s\n", major, name.c_str());
    return out;
}

std::string savedConfiguration(const Topology& topology, const NameSet& configured) {
    std::string out = "# PowerPath configuration saved by powermt (simulated)\n";
    for (const auto& d : topology.devices) {
        if (!configured.count(d.name)) continue;
        out += d.name + " " + arrayKindName(d.kind) + " id=" + d.arrayId + " ldev=" + d.ldev +
               " policy=" + (d.kind == ArrayKind::Symmetrix ? "SymmOpt" : "CLAROpt") + " paths=";
        for (std::size_t i = 0; i < d.paths.size(); ++i) out += (i ? "," : "") + d.paths[i].sd;
        out += "\n";
    }
    return out;
}

} // namespace sim
