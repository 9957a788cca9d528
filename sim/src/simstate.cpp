#include "simstate.h"

#include "names.h"
#include "sysfiles.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <sstream>

namespace sim {
namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::uint64_t number(const std::string& text, int line) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw std::runtime_error("state file line " + std::to_string(line) + ": bad number '" + text + "'");
    return value;
}

void makeDirs(const std::string& path) {
    std::string prefix;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        prefix = path.substr(0, pos);
        if (prefix.empty()) continue;
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) throw SysError("cannot create " + prefix, errno);
    }
}

void removeEntry(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw SysError("cannot remove " + path, errno);
}

void blockNode(const std::string& path, int major, unsigned minor) {
    const dev_t want = makedev(static_cast<unsigned>(major), minor);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISBLK(st.st_mode) && st.st_rdev == want) return;
        removeEntry(path);
    }
    if (::mknod(path.c_str(), S_IFBLK | 0660, want) != 0) throw SysError("cannot create block node " + path, errno);
}

void link(const std::string& target, const std::string& path) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) return;
    if (n >= 0 || errno != ENOENT) removeEntry(path);
    if (::symlink(target.c_str(), path.c_str()) != 0) throw SysError("cannot create link " + path, errno);
}

} // namespace

std::string formatState(const SimState& state) {
    std::string out = "dev-root " + state.devRoot + "\n";
    for (const auto& name : state.configured) out += "configured " + name + "\n";
    for (const auto& [name, layout] : state.disks) {
        out += "disk " + name + " " + std::to_string(layout.kib);
        for (const auto& p : layout.partitions) out += " " + std::to_string(p.number) + ":" + std::to_string(p.kib);
        out += "\n";
    }
    return out;
}

SimState parseState(const std::string& text) {
    SimState state;
    std::istringstream in(text);
    int lineNo = 0;
    bool haveRoot = false;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        const auto w = words(line);
        if (w.empty()) continue;
        const auto bad = [&](const std::string& why) {
            return std::runtime_error("state file line " + std::to_string(lineNo) + ": " + why);
        };
        if (w[0] == "dev-root" && w.size() == 2 && !w[1].empty() && w[1][0] == '/') {
            state.devRoot = w[1];
            haveRoot = true;
        } else if (w[0] == "configured" && w.size() == 2 && pseudoIndex(w[1])) {
            state.configured.insert(w[1]);
        } else if (w[0] == "disk" && w.size() >= 3 && pseudoIndex(w[1])) {
            DiskLayout layout;
            layout.kib = number(w[2], lineNo);
            for (std::size_t i = 3; i < w.size(); ++i) {
                const auto colon = w[i].find(':');
                if (colon == std::string::npos) throw bad("bad partition '" + w[i] + "'");
                const auto partNo = number(w[i].substr(0, colon), lineNo);
                if (partNo < 1 || partNo > 15) throw bad("bad partition number in '" + w[i] + "'");
                layout.partitions.push_back({static_cast<int>(partNo), number(w[i].substr(colon + 1), lineNo)});
            }
            state.disks[w[1]] = std::move(layout);
        } else {
            throw bad("unexpected '" + line + "'");
        }
    }
    if (!haveRoot) throw std::runtime_error("state file has no dev-root line");
    return state;
}

void applyDisks(Topology& topology, const SimState& state) {
    for (auto& d : topology.devices) {
        if (d.image.kind == DiskImage::Kind::None) continue;
        const auto it = state.disks.find(d.name);
        if (it == state.disks.end()) throw std::runtime_error("state has no disk layout for " + d.name);
        d.kib = it->second.kib;
        d.partitions = it->second.partitions;
    }
}

Loaded loadState(const StateDir& dir) {
    Loaded loaded{parseTopology(readFile(dir.topology()), dir.topology()), parseState(readFile(dir.state()))};
    for (const auto& name : loaded.state.configured)
        if (!loaded.topology.find(name)) throw std::runtime_error("state names " + name + ", which the topology lacks");
    applyDisks(loaded.topology, loaded.state);
    return loaded;
}

void writeInitialState(const StateDir& dir, const std::string& topologyText, const Topology& topology,
                       const SimState& state) {
    writeNewFile(dir.topology(), topologyText);
    writeFileAtomic(dir.state(), formatState(state));
    writeNewFile(dir.partitions(), procPartitions(topology, state.configured));
    writeNewFile(dir.devices(), procDevices(topology));
}

void publishState(const StateDir& dir, const Topology& topology, const SimState& state) {
    writeFileAtomic(dir.state(), formatState(state));
    rewriteInPlace(dir.partitions(), procPartitions(topology, state.configured));
    syncNodes(state.devRoot, topology, state.configured);
}

void syncNodes(const std::string& devRoot, const Topology& topology, const NameSet& configured) {
    const std::string byId = devRoot + "/disk/by-id";
    makeDirs(byId);
    for (const auto& d : topology.devices) {
        for (const auto& p : d.paths) {
            const DevNumber n = sdNumber(p.disk);
            blockNode(devRoot + "/" + p.sd, n.major, n.minor);
            for (const auto& part : d.partitions)
                blockNode(devRoot + "/" + p.sd + std::to_string(part.number), n.major,
                          n.minor + static_cast<unsigned>(part.number));
        }
        const bool present = configured.count(d.name) != 0;
        const unsigned minor = static_cast<unsigned>(d.index * 16);
        const std::string idLink = byId + "/scsi-3" + d.ldev;
        // Every partition number a device can have, so that stale nodes go too.
        for (int partNo = 0; partNo <= 15; ++partNo) {
            const std::string suffix = partNo ? std::to_string(partNo) : std::string();
            const std::string node = devRoot + "/" + d.name + suffix;
            const std::string linkPath = idLink + (partNo ? "-part" + suffix : std::string());
            bool wanted = present && partNo == 0;
            for (const auto& part : d.partitions) wanted = wanted || (present && part.number == partNo);
            if (wanted) {
                blockNode(node, topology.adminMajor, minor + static_cast<unsigned>(partNo));
                link("../../" + d.name + suffix, linkPath);
            } else {
                removeEntry(node);
                removeEntry(linkPath);
            }
        }
    }
}

} // namespace sim
