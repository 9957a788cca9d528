#include "powermt.h"

#include "names.h"
#include "render.h"
#include "simstate.h"
#include "sysfiles.h"

#include <optional>

namespace sim {
namespace {

const char* const kUsage =
    "usage: powermt display dev=<device>|all\n"
    "       powermt config\n"
    "       powermt remove [force] dev=<device>|all\n"
    "       powermt release\n"
    "       powermt save [file=<path>]\n"
    "       powermt help\n"
    "<device> is a pseudo device: emcpowera or /dev/emcpowera.\n";

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

// The configured device a dev= value names, or nothing.
const Device* configuredDevice(const Loaded& loaded, const std::string& dev) {
    const auto index = pseudoIndex(dev);
    if (!index) return nullptr;
    const std::string name = pseudoName(*index);
    if (dev != name && dev != "/dev/" + name) return nullptr; // e.g. "/dev//emcpowera"
    if (!loaded.state.configured.count(name)) return nullptr;
    return loaded.topology.find(name);
}

std::string badDev(const std::string& dev) {
    return "Bad dev value " + dev + ", or not under Powerpath control.\n";
}

int execute(const Command& c, const StateDir& dir, std::string& out, std::string& err) {
    const bool changes = c.verb == "config" || c.verb == "remove" || c.verb == "save";
    FileLock lock(dir.lock(), changes);
    Loaded loaded = loadState(dir);
    if (const Failure* f = loaded.topology.failureFor(c.verb)) {
        if (!f->message.empty()) err += f->message + "\n";
        return f->status;
    }
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
        writeFileAtomic(c.file.empty() ? dir.custom() : c.file,
                        savedConfiguration(loaded.topology, loaded.state.configured));
        return kPowermtOk;
    }
    if (c.verb == "config") {
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

} // namespace

int runPowermt(const std::vector<std::string>& args, const std::string& stateDir, std::string& out,
               std::string& err) {
    const auto command = parseArgs(args);
    if (!command) {
        err += kUsage;
        return kPowermtUsage;
    }
    if (command->verb == "help") {
        out += kUsage;
        return kPowermtOk;
    }
    if (stateDir.empty()) {
        err += std::string("powermt: ") + kStateEnv +
               " is not set: this simulated powermt runs inside mpio-sandbox\n";
        return kPowermtNoState;
    }
    try {
        return execute(*command, StateDir{stateDir}, out, err);
    } catch (const std::exception& e) {
        err += std::string("powermt: ") + e.what() + "\n";
        return kPowermtNoState;
    }
}

} // namespace sim
