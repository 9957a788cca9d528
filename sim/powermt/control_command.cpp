// SPDX-License-Identifier: Apache-2.0
#include "powermt/control_command.h"

#include "machine/checked_files.h"
#include "machine/device_names.h"
#include "machine/publish.h"
#include "machine/topology_lexer.h"
#include "powermt/powermt_command.h"

#include <stdexcept>

namespace sim {

const char* const kControlUsage = "usage: powermt control path SD alive|dead|active|standby|unlic\n"
                                  "       powermt control device add FILE\n"
                                  "       powermt control device remove NAME\n"
                                  "       powermt control fault COMMAND fail STATUS [MESSAGE]\n"
                                  "       powermt control fault COMMAND hang SECONDS\n"
                                  "       powermt control fault COMMAND garbage|clear\n"
                                  "COMMAND is display, config, remove, release or save.\n";

namespace {

// A well-formed control command that the machine refuses; nothing changed.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A control command line of the wrong shape: the usage is the answer.
struct Malformed {};

Path* findPath(Topology& topology, const std::string& sd, const Device** owner) {
    for (auto& d : topology.devices)
        for (auto& p : d.paths)
            if (p.sd == sd) {
                *owner = &d;
                return &p;
            }
    return nullptr;
}

// Sets the mode or the state of one path; the other stays as it is.
void applyPathWord(PathEvent& event, const std::string& word) {
    if (const auto state = lex::choice<PathState>(word, kPathStateWords))
        event.state = *state;
    else if (const auto mode = lex::choice<PathMode>(word, kPathModeWords))
        event.mode = *mode;
    else
        throw Refusal("path: '" + word + "' is not alive, dead, active, standby or unlic");
}

void changePath(const StateDir& dir, const std::string& sd, const std::string& word) {
    PathEvent probe;
    applyPathWord(probe, word); // the word is checked before the lock is taken
    const FairLock lock = lockState(dir, FairLock::Mode::Write);
    Loaded loaded = loadState(dir);
    const Device* owner = nullptr;
    const Path* path = findPath(loaded.topology, sd, &owner);
    if (!path) throw Refusal("path: no path " + sd + " on this machine");
    if (loaded.state.departed.count(owner->name) && word == "alive")
        throw Refusal("path: " + owner->name + " has left the fabric; its paths stay dead");
    PathEvent event{path->mode, path->state};
    applyPathWord(event, word);
    loaded.state.pathEvents[sd] = event;
    writeFileAtomic(dir.state(), formatState(loaded.state));
}

template <typename T>
T numberIn(const std::string& text, T low, T high, const std::string& what) {
    const auto value = lex::parseNumber<T>(text);
    if (!value || *value < low || *value > high)
        throw Refusal("fault: " + what + " must be a number from " + std::to_string(low) + " to " +
                      std::to_string(high) + ", not '" + text + "'");
    return *value;
}

// The fault an argument list names; nothing for `clear`. Throws Refusal
// for bad values, Malformed for a list of the wrong shape.
std::optional<Fault> faultOf(const std::vector<std::string>& args) {
    const std::string& kind = args[3];
    Fault f;
    if (kind == "fail" && (args.size() == 5 || args.size() == 6)) {
        f.status = numberIn<int>(args[4], 1, 255, "the status");
        if (args.size() == 6) f.message = args[5];
        if (!lex::isPrintable(f.message)) throw Refusal("fault: the message must be one line of printable text");
        return f;
    }
    if (kind == "hang" && args.size() == 5) {
        f.kind = Fault::Kind::Hang;
        f.seconds = numberIn<unsigned>(args[4], 1, kMaxHangSeconds, "the seconds");
        return f;
    }
    if (kind == "garbage" && args.size() == 4) {
        f.kind = Fault::Kind::Garbage;
        return f;
    }
    if (kind == "clear" && args.size() == 4) return std::nullopt;
    throw Malformed{};
}

void changeFault(const StateDir& dir, const std::vector<std::string>& args) {
    const std::string& command = args[2];
    const auto fault = faultOf(args);
    if (!isFailableCommand(command))
        throw Refusal("fault: unknown command '" + command + "' (display, config, remove, release or save)");
    const FairLock lock = lockState(dir, FairLock::Mode::Write);
    Loaded loaded = loadState(dir);
    if (fault)
        loaded.state.faults[command] = *fault;
    else
        loaded.state.faults.erase(command);
    writeFileAtomic(dir.state(), formatState(loaded.state));
}

// The text of a file of device blocks, checked on its own: only device,
// path, partition and partitions lines (a disk image needs the launcher).
std::string deviceBlocks(const std::string& file) {
    std::string text;
    try {
        text = readFile(file, kMaxTopologyBytes);
        const Topology alone = parseTopology(text, file);
        if (alone.devices.empty()) throw Refusal("device add: " + file + " has no device");
        lex::forEachLine(text, [&](std::string_view line, int lineNo) {
            const auto w = lex::tokenize(line, file, lineNo);
            if (!w.empty() && w[0] != "device" && w[0] != "path" && w[0] != "partition" && w[0] != "partitions")
                throw Refusal("device add: " + file + ":" + std::to_string(lineNo) +
                              ": only device, path, partition and partitions lines can be added, not '" + w[0] + "'");
        });
    } catch (const Refusal&) {
        throw;
    } catch (const std::exception& e) {
        throw Refusal(std::string("device add: ") + e.what());
    }
    return text;
}

void addDevices(const StateDir& dir, const std::string& file) {
    const std::string blocks = deviceBlocks(file);
    const FairLock lock = lockState(dir, FairLock::Mode::Write);
    Loaded loaded = loadState(dir);
    std::string text = loaded.topologyText;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += blocks;
    Topology topology;
    try {
        topology = parseTopology(text, dir.topology());
    } catch (const TopologyError& e) {
        throw Refusal("device add: " + file + " does not fit the machine: " + e.what());
    }
    applyDisks(topology, loaded.state);
    publishFabric(dir, text, topology, loaded.state, {});
}

void dropDevices(const StateDir& dir, Loaded& loaded, const NameSet& names) {
    std::vector<Device> dropped;
    SimState& state = loaded.state;
    for (const auto& d : loaded.topology.devices) {
        if (!names.count(d.name)) continue;
        dropped.push_back(d);
        for (const auto& p : d.paths) state.pathEvents.erase(p.sd);
        state.configured.erase(d.name);
        state.departed.erase(d.name);
        state.disks.erase(d.name);
    }
    std::string text = withoutDevices(loaded.topologyText, names);
    Topology topology = parseTopology(text, dir.topology());
    applyDisks(topology, state);
    publishFabric(dir, text, topology, state, dropped);
    loaded.topologyText = std::move(text);
    loaded.topology = std::move(topology);
}

// A configured device departs: its paths are dead until `powermt config`
// drops it, as PowerPath keeps a vanished LUN. Any other device goes now.
void removeDevice(const StateDir& dir, const std::string& name) {
    const FairLock lock = lockState(dir, FairLock::Mode::Write);
    Loaded loaded = loadState(dir);
    const Device* d = loaded.topology.find(name);
    if (!d) throw Refusal("device remove: no device " + name + " on this machine");
    if (d->image.kind != DiskImage::Kind::None)
        throw Refusal("device remove: " + name + " is disk-backed; its loop device stays until the sandbox ends");
    if (loaded.state.departed.count(name)) throw Refusal("device remove: " + name + " has already left the fabric");
    if (!loaded.state.configured.count(name)) return dropDevices(dir, loaded, {name});
    loaded.state.departed.insert(name);
    writeFileAtomic(dir.state(), formatState(loaded.state));
}

void dispatch(const std::vector<std::string>& args, const StateDir& dir) {
    const std::string what = args.size() > 1 ? args[1] : std::string();
    if (what == "path" && args.size() == 4) return changePath(dir, args[2], args[3]);
    if (what == "device" && args.size() == 4 && args[2] == "add") return addDevices(dir, args[3]);
    if (what == "device" && args.size() == 4 && args[2] == "remove") return removeDevice(dir, args[3]);
    if (what == "fault" && args.size() >= 4) return changeFault(dir, args);
    throw Malformed{};
}

} // namespace

std::string withoutDevices(std::string_view text, const NameSet& names) {
    std::string out;
    bool dropping = false;
    int lineNo = 0;
    for (std::size_t pos = 0, nl = 0; nl != std::string_view::npos && pos < text.size(); pos = nl + 1) {
        nl = text.find('\n', pos);
        const std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl + 1 - pos);
        const auto w = lex::tokenize(line.substr(0, line.find('\n')), "topology", ++lineNo);
        if (!w.empty() && (w[0] == "device" || w[0] == "admin-major" || w[0] == "fail"))
            dropping = w[0] == "device" && w.size() > 1 && names.count(w[1]);
        if (!dropping) out += line;
    }
    return out;
}

void dropDeparted(const StateDir& dir, Loaded& loaded) {
    if (loaded.state.departed.empty()) return;
    const NameSet departed = loaded.state.departed;
    dropDevices(dir, loaded, departed);
}

int runControl(const std::vector<std::string>& args, const StateDir& dir, std::string& /*out*/, std::string& err) {
    try {
        dispatch(args, dir);
        return kPowermtOk;
    } catch (const Malformed&) {
        err += kControlUsage;
        return kPowermtUsage;
    } catch (const Refusal& r) {
        err += std::string("powermt control: ") + r.what() + "\n";
        return kControlRefused;
    }
}

} // namespace sim
