// SPDX-License-Identifier: Apache-2.0
#include "machine/state_file.h"

#include "machine/checked_files.h"
#include "machine/device_names.h"
#include "machine/topology_lexer.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <climits>
#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace sim {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The words of a line, which white space separates, into `out` (cleared first).
void words(std::string_view line, std::vector<std::string>& out) {
    out.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSpace(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !isSpace(line[i])) ++i;
        if (i > start) out.emplace_back(line.substr(start, i - start));
    }
}

std::uint64_t number(const std::string& text, int line) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        throw std::runtime_error("state file line " + std::to_string(line) + ": bad number '" + text + "'");
    return value;
}

// The text of `line` after its first `count` words and the blank after them.
std::string afterWords(std::string_view line, std::size_t count) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count && pos != std::string::npos; ++i) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos != std::string::npos) pos = line.find_first_of(" \t", pos);
    }
    return pos == std::string::npos ? std::string() : std::string(line.substr(pos + 1));
}

template <typename E, std::size_t N>
std::optional<E> named(const std::string& word, const char* (&name)(E), const E (&all)[N]) {
    for (E e : all)
        if (word == name(e)) return e;
    return std::nullopt;
}

constexpr PathMode kModes[] = {PathMode::Active, PathMode::Standby, PathMode::Unlic};
constexpr PathState kStates[] = {PathState::Alive, PathState::Dead};

std::string formatFault(const std::string& command, const Fault& f) {
    std::string out = "fault " + command;
    switch (f.kind) {
    case Fault::Kind::Fail:
        out += " fail " + std::to_string(f.status);
        if (!f.message.empty()) out += " " + f.message;
        break;
    case Fault::Kind::Hang: out += " hang " + std::to_string(f.seconds); break;
    case Fault::Kind::Garbage: out += " garbage"; break;
    }
    return out + "\n";
}

// `fault COMMAND fail STATUS [MESSAGE]`, `fault COMMAND hang SECONDS` or
// `fault COMMAND garbage`; nothing when malformed.
std::optional<Fault> parseFault(const std::vector<std::string>& w, std::string_view line) {
    if (w.size() < 3 || !isFailableCommand(w[1])) return std::nullopt;
    Fault f;
    if (w[2] == "fail" && w.size() >= 4) {
        const auto status = lex::parseNumber<int>(w[3]);
        if (!status || *status < 1 || *status > 255) return std::nullopt;
        f.status = *status;
        f.message = afterWords(line, 4);
    } else if (w[2] == "hang" && w.size() == 4) {
        const auto seconds = lex::parseNumber<unsigned>(w[3]);
        if (!seconds || *seconds > kMaxHangSeconds) return std::nullopt;
        f.kind = Fault::Kind::Hang;
        f.seconds = *seconds;
    } else if (w[2] == "garbage" && w.size() == 3) {
        f.kind = Fault::Kind::Garbage;
    } else {
        return std::nullopt;
    }
    return f;
}

// Gives the paths their run-time modes and states, and the paths of the
// departed devices the state dead. Throws when the state names a path or
// device the topology lacks.
void applyEvents(Topology& topology, const SimState& state) {
    std::size_t pathsFound = 0;
    std::size_t departedFound = 0;
    for (auto& d : topology.devices) {
        const bool departed = state.departed.count(d.name) != 0;
        departedFound += departed;
        for (auto& p : d.paths) {
            const auto it = state.pathEvents.find(p.sd);
            if (it != state.pathEvents.end()) {
                ++pathsFound;
                p.mode = it->second.mode;
                p.state = it->second.state;
            }
            if (departed) p.state = PathState::Dead;
        }
    }
    if (pathsFound != state.pathEvents.size()) throw std::runtime_error("state names a path the topology lacks");
    if (departedFound != state.departed.size()) throw std::runtime_error("state names a departed device the topology lacks");
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

bool isBlockNode(const std::string& path, dev_t number) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == number;
}

bool linksTo(const std::string& path, const std::string& target) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    return n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target;
}

constexpr int kAbsent = -1;

// Brings the entries of one directory to what is wanted, from a single
// listing of it. An entry of the wanted type is taken as made by an earlier
// pass, since under one state directory a name's numbers and link target
// never change: a pass over an up-to-date tree makes no call per entry.
class DirSync {
public:
    explicit DirSync(const std::string& dir) : dir_(dir) { list(); }

    void node(const std::string& name, int major, unsigned minor) {
        const std::string path = dir_ + "/" + name;
        const dev_t want = makedev(static_cast<unsigned>(major), minor);
        const int type = listed(name);
        if (type == DT_BLK || (type == DT_UNKNOWN && isBlockNode(path, want))) return;
        if (type != kAbsent) removeEntry(path);
        if (::mknod(path.c_str(), S_IFBLK | 0660, want) != 0) throw SysError("cannot create block node " + path, errno);
    }

    void link(const std::string& name, const std::string& target) {
        const std::string path = dir_ + "/" + name;
        const int type = listed(name);
        if (type == DT_LNK || (type == DT_UNKNOWN && linksTo(path, target))) return;
        if (type != kAbsent) removeEntry(path);
        if (::symlink(target.c_str(), path.c_str()) != 0) throw SysError("cannot create link " + path, errno);
    }

    void remove(const std::string& name) {
        if (listed(name) != kAbsent) removeEntry(dir_ + "/" + name);
    }

private:
    void list() {
        DIR* dir = ::opendir(dir_.c_str());
        if (!dir) throw SysError("cannot read " + dir_, errno);
        errno = 0;
        while (const dirent* e = ::readdir(dir)) entries_.emplace(e->d_name, e->d_type);
        const int error = errno;
        ::closedir(dir);
        if (error != 0) throw SysError("cannot read " + dir_, error);
    }

    int listed(const std::string& name) const {
        const auto it = entries_.find(name);
        return it == entries_.end() ? kAbsent : it->second;
    }

    std::string dir_;
    std::unordered_map<std::string, unsigned char> entries_;
};

// The nodes of a device's sd paths and their partitions.
void syncSdNodes(DirSync& dev, const Device& d) {
    for (const auto& p : d.paths) {
        const DevNumber n = sdNumber(p.disk);
        dev.node(p.sd, n.major, n.minor);
        for (const auto& part : d.partitions)
            dev.node(p.sd + std::to_string(part.number), n.major, n.minor + static_cast<unsigned>(part.number));
    }
}

// The nodes and by-id links of a pseudo device and its partitions while it
// is configured; otherwise none of them.
void syncPseudoNodes(DirSync& dev, DirSync& byId, const Device& d, int major, bool configured) {
    // Bit p: partition p (0: the whole device) is wanted.
    unsigned wanted = 0;
    if (configured) {
        wanted = 1;
        for (const auto& part : d.partitions) wanted |= 1U << part.number;
    }
    // Every partition number a device can have, so that stale nodes go too.
    for (int partNo = 0; partNo <= 15; ++partNo) {
        const std::string suffix = partNo ? std::to_string(partNo) : std::string();
        const std::string link = "scsi-3" + d.ldev + (partNo ? "-part" + suffix : std::string());
        if (wanted & (1U << partNo)) {
            dev.node(d.name + suffix, major, static_cast<unsigned>(d.index * 16 + partNo));
            byId.link(link, "../../" + d.name + suffix);
        } else {
            dev.remove(d.name + suffix);
            byId.remove(link);
        }
    }
}

} // namespace

std::string formatState(const SimState& state) {
    std::string out = "dev-root " + state.devRoot + "\n";
    for (const auto& name : state.configured) out += "configured " + name + "\n";
    for (const auto& [name, layout] : state.disks) {
        out += "disk " + name + " " + std::to_string(layout.kib);
        // Appended piece by piece: no chain of temporaries per partition.
        for (const auto& p : layout.partitions) {
            out += ' ';
            out += std::to_string(p.number);
            out += ':';
            out += std::to_string(p.kib);
        }
        out += "\n";
    }
    for (const auto& [sd, e] : state.pathEvents)
        out += "path " + sd + " " + pathModeName(e.mode) + " " + pathStateName(e.state) + "\n";
    for (const auto& [command, fault] : state.faults) out += formatFault(command, fault);
    for (const auto& name : state.departed) out += "departed " + name + "\n";
    return out;
}

SimState parseState(const std::string& text) {
    SimState state;
    int lineNo = 0;
    bool haveRoot = false;
    std::vector<std::string> w;
    const std::string_view all(text);
    for (std::size_t pos = 0, nl = 0; pos < all.size(); pos = nl + 1) {
        nl = std::min(all.find('\n', pos), all.size());
        const std::string_view lineView = all.substr(pos, nl - pos);
        ++lineNo;
        words(lineView, w);
        if (w.empty()) continue;
        const auto line = [&] { return std::string(lineView); };
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
        } else if (w[0] == "path" && w.size() == 4 && sdIndex(w[1])) {
            const auto mode = named(w[2], pathModeName, kModes);
            const auto pathState = named(w[3], pathStateName, kStates);
            if (!mode || !pathState) throw bad("bad path event '" + line() + "'");
            state.pathEvents[w[1]] = {*mode, *pathState};
        } else if (w[0] == "fault") {
            const auto fault = parseFault(w, lineView);
            if (!fault) throw bad("bad fault '" + line() + "'");
            state.faults[w[1]] = *fault;
        } else if (w[0] == "departed" && w.size() == 2 && pseudoIndex(w[1])) {
            state.departed.insert(w[1]);
        } else {
            throw bad("unexpected '" + line() + "'");
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
    // The clock first: a write after it gets a change time of this tick or later.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    struct stat topologySeen {}, stateSeen {};
    std::string text = readFile(dir.topology(), kMaxTopologyBytes, &topologySeen);
    const std::string stateText = readFile(dir.state(), kMaxTextFile, &stateSeen);
    Topology topology = parseTopology(text, dir.topology());
    const SourceStamp stamp{0, identityOf(topologySeen), identityOf(stateSeen)};
    const bool settled = changedBefore(stamp.topology, now) && changedBefore(stamp.state, now);
    Loaded loaded{std::move(text), std::move(topology), parseState(stateText), stamp, settled};
    std::unordered_set<std::string_view> names(loaded.topology.devices.size());
    for (const auto& d : loaded.topology.devices) names.insert(d.name);
    for (const auto& name : loaded.state.configured)
        if (!names.count(name)) throw std::runtime_error("state names " + name + ", which the topology lacks");
    applyDisks(loaded.topology, loaded.state);
    applyEvents(loaded.topology, loaded.state);
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

void publishFabric(const StateDir& dir, const std::string& topologyText, const Topology& topology,
                   const SimState& state, const std::vector<Device>& dropped) {
    writeFileAtomic(dir.state(), formatState(state));
    writeFileAtomic(dir.topology(), topologyText);
    rewriteInPlace(dir.partitions(), procPartitions(topology, state.configured));
    syncNodes(state.devRoot, topology, state.configured);
    if (dropped.empty()) return;
    DirSync dev(state.devRoot);
    DirSync byId(state.devRoot + "/disk/by-id");
    for (const auto& d : dropped) {
        for (const auto& p : d.paths) {
            dev.remove(p.sd);
            for (const auto& part : d.partitions) dev.remove(p.sd + std::to_string(part.number));
        }
        syncPseudoNodes(dev, byId, d, topology.adminMajor, false);
    }
}

void syncNodes(const std::string& devRoot, const Topology& topology, const NameSet& configured) {
    makeDirs(devRoot + "/disk/by-id");
    DirSync dev(devRoot);
    DirSync byId(devRoot + "/disk/by-id");
    for (const auto& d : topology.devices) {
        syncSdNodes(dev, d);
        syncPseudoNodes(dev, byId, d, topology.adminMajor, configured.count(d.name) != 0);
    }
}

} // namespace sim
