// SPDX-License-Identifier: Apache-2.0
#include "machine/state_file.h"

#include "machine/device_names.h"
#include "machine/topology_lexer.h"

#include <optional>
#include <stdexcept>
#include <string_view>

namespace sim {
namespace {

using Words = std::vector<std::string>;

std::runtime_error lineError(int line, const std::string& why) {
    return std::runtime_error("state file line " + std::to_string(line) + ": " + why);
}

std::uint64_t number(const std::string& text, int line) {
    const auto value = lex::parseNumber<std::uint64_t>(text);
    if (!value) throw lineError(line, "bad number '" + text + "'");
    return *value;
}

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
std::optional<Fault> parseFault(const Words& w, std::string_view line) {
    if (w.size() < 3 || !isFailableCommand(w[1])) return std::nullopt;
    Fault f;
    if (w[2] == "fail" && w.size() >= 4) {
        const auto status = lex::parseNumber<int>(w[3]);
        if (!status || *status < 1 || *status > 255) return std::nullopt;
        f.status = *status;
        f.message = lex::restAfterWords(line, 4);
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

// `disk NAME KIB N:KIB...`: the layout of a disk image.
DiskLayout parseLayout(const Words& w, int line) {
    DiskLayout layout;
    layout.kib = number(w[2], line);
    for (std::size_t i = 3; i < w.size(); ++i) {
        const auto colon = w[i].find(':');
        if (colon == std::string::npos) throw lineError(line, "bad partition '" + w[i] + "'");
        const auto partNo = number(w[i].substr(0, colon), line);
        if (partNo < 1 || partNo > kMaxPartition) throw lineError(line, "bad partition number in '" + w[i] + "'");
        layout.partitions.push_back({static_cast<int>(partNo), number(w[i].substr(colon + 1), line)});
    }
    return layout;
}

// One line of the state file, split into the words `w`, into `state`.
void parseLine(SimState& state, const Words& w, std::string_view line, int lineNo) {
    const auto whole = [&] { return "'" + std::string(line) + "'"; };
    if (w[0] == "dev-root" && w.size() == 2 && w[1][0] == '/') {
        state.devRoot = w[1];
    } else if (w[0] == "configured" && w.size() == 2 && pseudoIndex(w[1])) {
        state.configured.insert(w[1]);
    } else if (w[0] == "disk" && w.size() >= 3 && pseudoIndex(w[1])) {
        state.disks[w[1]] = parseLayout(w, lineNo);
    } else if (w[0] == "path" && w.size() == 4 && sdIndex(w[1])) {
        const auto mode = lex::choice<PathMode>(w[2], kPathModeWords);
        const auto pathState = lex::choice<PathState>(w[3], kPathStateWords);
        if (!mode || !pathState) throw lineError(lineNo, "bad path event " + whole());
        state.pathEvents[w[1]] = {*mode, *pathState};
    } else if (w[0] == "fault") {
        const auto fault = parseFault(w, line);
        if (!fault) throw lineError(lineNo, "bad fault " + whole());
        state.faults[w[1]] = *fault;
    } else if (w[0] == "departed" && w.size() == 2 && pseudoIndex(w[1])) {
        state.departed.insert(w[1]);
    } else {
        throw lineError(lineNo, "unexpected " + whole());
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
    bool haveRoot = false;
    Words w;
    lex::forEachLine(text, [&](std::string_view line, int lineNo) {
        lex::splitWords(line, w);
        if (w.empty()) return;
        parseLine(state, w, line, lineNo);
        haveRoot = haveRoot || w[0] == "dev-root";
    });
    if (!haveRoot) throw std::runtime_error("state file has no dev-root line");
    return state;
}

} // namespace sim
