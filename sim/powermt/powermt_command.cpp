// SPDX-License-Identifier: Apache-2.0
#include "powermt/powermt_command.h"

#include "machine/checked_files.h"
#include "machine/device_names.h"
#include "machine/load.h"
#include "machine/publish.h"
#include "machine/render.h"
#include "powermt/control_command.h"
#include "powermt/display_cache.h"

#include <optional>
#include <thread>

namespace sim {
namespace {

const char* const kUsage = "usage: powermt display dev=<device>|all\n"
                           "       powermt config\n"
                           "       powermt remove [force] dev=<device>|all\n"
                           "       powermt release\n"
                           "       powermt save [file=<path>]\n"
                           "       powermt help\n"
                           "<device> is a pseudo device: emcpowera or /dev/emcpowera.\n"
                           "powermt control ... changes the simulated machine (powermt control help).\n";

// What a sub-command made to print garbage prints: no powermt output, but
// control bytes, a header cut short, a path line with a broken name and a
// long line without a newline at the end.
std::string garbage() {
    std::string text = "Pseudo name=\n\x01\x02\x7f\xff\xfe state=\n";
    text += "====== ---- ###  HW Path\n";
    text += "   0 qla2xxx  sd\x08\x08  ?? active  alive  -1  x\n";
    text += std::string(4096, '#');
    return text;
}

// The fault of a sub-command: one set while the machine runs, else the
// topology's `fail` line.
std::optional<Fault> faultFor(const Loaded& loaded, const std::string& verb) {
    const auto it = loaded.state.faults.find(verb);
    if (it != loaded.state.faults.end()) return it->second;
    if (const Failure* f = loaded.topology.failureFor(verb)) return Fault{Fault::Kind::Fail, f->status, f->message, 0};
    return std::nullopt;
}

struct Command {
    std::string verb;
    std::string dev;  // display, remove
    std::string file; // save
};

std::optional<Command> parseArgs(const std::vector<std::string>& args) {
    if (args.empty()) return std::nullopt;
    Command c{args[0], {}, {}};
    const auto value = [](const std::string& arg, const std::string& key) -> std::optional<std::string> {
        if (arg.rfind(key, 0) != 0 || arg.size() == key.size()) return std::nullopt;
        return arg.substr(key.size());
    };
    if (c.verb == "display") {
        if (args.size() != 2) return std::nullopt;
        const auto dev = value(args[1], "dev=");
        if (!dev) return std::nullopt;
        c.dev = *dev;
    } else if (c.verb == "remove") {
        std::size_t i = 1;
        if (i < args.size() && args[i] == "force") ++i;
        if (i + 1 != args.size()) return std::nullopt;
        const auto dev = value(args[i], "dev=");
        if (!dev) return std::nullopt;
        c.dev = *dev;
    } else if (c.verb == "save") {
        if (args.size() > 2) return std::nullopt;
        if (args.size() == 2) {
            const auto file = value(args[1], "file=");
            if (!file) return std::nullopt;
            c.file = *file;
        }
    } else if (c.verb == "config" || c.verb == "release" || c.verb == "help") {
        if (args.size() != 1) return std::nullopt;
    } else {
        return std::nullopt;
    }
    return c;
}

// The pseudo device a dev= value names, or nothing.
std::optional<std::string> namedPseudoDevice(const std::string& dev) {
    const auto index = pseudoIndex(dev);
    if (!index) return std::nullopt;
    std::string name = pseudoName(*index);
    if (dev != name && dev != "/dev/" + name) return std::nullopt; // e.g. "/dev//emcpowera"
    return name;
}

// The configured device a dev= value names, or nothing.
const Device* configuredDevice(const Loaded& loaded, const std::string& dev) {
    const auto name = namedPseudoDevice(dev);
    if (!name || !loaded.state.configured.count(*name)) return nullptr;
    return loaded.topology.find(*name);
}

std::string badDev(const std::string& dev) { return "Bad dev value " + dev + ", or not under Powerpath control.\n"; }

FairLock::Mode access(const Command& c) {
    const bool changes = c.verb == "config" || c.verb == "remove" || c.verb == "save";
    return changes ? FairLock::Mode::Write : FairLock::Mode::Read;
}

// The sub-command's work, under the lock, on the loaded state.
int perform(const Command& c, const StateDir& dir, Loaded& loaded, std::string& out, std::string& err) {
    if (c.verb == "display") {
        if (c.dev == "all") {
            out += displayAll(loaded.topology, loaded.state.configured);
            return kPowermtOk;
        }
        const Device* d = configuredDevice(loaded, c.dev);
        if (!d) {
            err += badDev(c.dev);
            return kPowermtBadDevice;
        }
        out += displayBlock(*d);
        return kPowermtOk;
    }
    if (c.verb == "release") return kPowermtOk;
    if (c.verb == "save") {
        const std::string saved = savedConfiguration(loaded.topology, loaded.state.configured);
        if (c.file.empty())
            writeFileAtomic(dir.custom(), saved);
        else
            writeUserFile(c.file, saved);
        return kPowermtOk;
    }
    if (c.verb == "config") {
        dropDeparted(dir, loaded);
        for (const auto& d : loaded.topology.devices) loaded.state.configured.insert(d.name);
    } else if (c.dev == "all") {
        loaded.state.configured.clear();
    } else {
        const Device* d = configuredDevice(loaded, c.dev);
        if (!d) {
            err += badDev(c.dev);
            return kPowermtBadDevice;
        }
        loaded.state.configured.erase(d->name);
    }
    publishState(dir, loaded.topology, loaded.state);
    return kPowermtOk;
}

// A display's answer from the display cache, when it holds one for the
// machine as it is.
std::optional<int> cachedAnswer(const Command& c, const StateDir& dir, std::uint64_t writers, std::string& out,
                                std::string& err) {
    const auto cached = cachedDisplay(dir, writers, c.dev == "all" ? c.dev : namedPseudoDevice(c.dev).value_or(""));
    if (!cached) return std::nullopt;
    if (!cached->configured) {
        err += badDev(c.dev);
        return kPowermtBadDevice;
    }
    out += cached->text;
    return kPowermtOk;
}

// A display with no fault standing in for it leaves the cache for the next
// one. The cache only saves time: a failure to write it changes no answer.
void keepForNextDisplay(const StateDir& dir, const Loaded& loaded, std::uint64_t writers) {
    try {
        writeDisplayCache(dir, loaded, writers);
    } catch (const std::exception&) {
    }
}

// Runs the sub-command unless a fault stands in for it. A hang sleeps
// without the lock, so that the machine can still be changed meanwhile,
// and then does the work.
int execute(const Command& c, const StateDir& dir, std::string& out, std::string& err) {
    unsigned hang = 0;
    {
        const FairLock lock = lockState(dir, access(c));
        const std::uint64_t writers = lock.writers();
        if (c.verb == "display")
            if (const auto answer = cachedAnswer(c, dir, writers, out, err)) return *answer;
        Loaded loaded = loadState(dir);
        const auto fault = faultFor(loaded, c.verb);
        if (!fault && c.verb == "display") keepForNextDisplay(dir, loaded, writers);
        if (!fault) return perform(c, dir, loaded, out, err);
        switch (fault->kind) {
        case Fault::Kind::Fail:
            if (!fault->message.empty()) err += fault->message + "\n";
            return fault->status;
        case Fault::Kind::Garbage: out += garbage(); return kPowermtOk;
        case Fault::Kind::Hang: hang = fault->seconds; break;
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(hang));
    const FairLock lock = lockState(dir, access(c));
    Loaded loaded = loadState(dir);
    return perform(c, dir, loaded, out, err);
}

} // namespace

int runPowermt(const std::vector<std::string>& args, const std::string& stateDir, std::string& out, std::string& err) {
    const bool control = !args.empty() && args[0] == "control";
    if (control && args.size() == 2 && args[1] == "help") {
        out += kControlUsage;
        return kPowermtOk;
    }
    const auto command = control ? std::optional<Command>() : parseArgs(args);
    if (!control && !command) {
        err += kUsage;
        return kPowermtUsage;
    }
    if (!control && command->verb == "help") {
        out += kUsage;
        return kPowermtOk;
    }
    if (stateDir.empty()) {
        err += std::string("powermt: ") + kStateEnv + " is not set: this simulated powermt runs inside mpio-sandbox\n";
        return kPowermtNoState;
    }
    try {
        const StateDir dir{stateDir};
        return control ? runControl(args, dir, out, err) : execute(*command, dir, out, err);
    } catch (const std::exception& e) {
        err += std::string("powermt: ") + e.what() + "\n";
        return kPowermtNoState;
    }
}

} // namespace sim
