// SPDX-License-Identifier: Apache-2.0
#include "topology_facts.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace e2e {
namespace {

// Words separated by blanks; double quotes group words, with a backslash
// escaping the character after it; a word that starts with # starts a comment.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        std::string word;
        if (line[i] == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size()) ++i;
                word += line[i];
            }
            ++i; // the closing quote
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
        }
        out.push_back(word);
    }
    return out;
}

std::string valueOf(const std::vector<std::string>& w, const std::string& key) {
    for (const std::string& word : w)
        if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
    return {};
}

// The partition numbers of "image SIZE mbr|gpt COUNT" or "... N:SIZE ...".
std::vector<int> imagePartitions(const std::vector<std::string>& w) {
    std::vector<int> numbers;
    if (w.size() < 4) return numbers; // image file=PATH: whatever the file holds
    if (w.size() == 4 && w[3].find(':') == std::string::npos) {
        for (int n = 1; n <= std::stoi(w[3]); ++n) numbers.push_back(n);
        return numbers;
    }
    for (std::size_t i = 3; i < w.size(); ++i) numbers.push_back(std::stoi(w[i].substr(0, w[i].find(':'))));
    return numbers;
}

} // namespace

long pseudoIndex(const std::string& name) {
    const std::string prefix = "emcpower";
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size()) return -1;
    long n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < 'a' || name[i] > 'z') return -1;
        n = n * 26 + (name[i] - 'a' + 1);
    }
    return n - 1;
}

std::vector<std::string> DeviceFacts::activePaths() const {
    std::vector<std::string> out;
    for (const PathFacts& p : paths)
        if (p.mode == "active") out.push_back("/dev/" + p.sd);
    return out;
}

std::vector<const DeviceFacts*> TopologyFacts::devicesWhere(bool DeviceFacts::*flag) const {
    std::vector<const DeviceFacts*> out;
    for (const DeviceFacts& d : devices)
        if (d.*flag) out.push_back(&d);
    return out;
}

const DeviceFacts& TopologyFacts::device(const std::string& name) const {
    for (const DeviceFacts& d : devices)
        if (d.name == name) return d;
    throw std::runtime_error("the topology has no device " + name);
}

std::optional<FailureFacts> TopologyFacts::failureOf(const std::string& command) const {
    for (const FailureFacts& f : failures)
        if (f.command == command) return f;
    return std::nullopt;
}

TopologyFacts readTopology(const std::string& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file);
    TopologyFacts facts;
    DeviceFacts* current = nullptr;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::vector<std::string> w = words(line);
        if (w.empty()) continue;
        auto bad = [&](const std::string& why) {
            return std::runtime_error(file + ":" + std::to_string(number) + ": " + why);
        };
        if (w[0] == "admin-major") continue;
        if (w[0] == "fail") {
            if (w.size() < 3) throw bad("fail COMMAND STATUS [MESSAGE]");
            facts.failures.push_back({w[1], std::stoi(w[2]), w.size() > 3 ? w[3] : ""});
        } else if (w[0] == "device") {
            if (w.size() < 3 || pseudoIndex(w[1]) < 0) throw bad("device NAME TYPE ...");
            facts.devices.push_back({});
            current = &facts.devices.back();
            current->name = w[1];
            current->index = pseudoIndex(w[1]);
            current->configured = std::find(w.begin(), w.end(), "unconfigured") == w.end();
            current->ldev = valueOf(w, "ldev");
        } else if (!current) {
            throw bad("'" + w[0] + "' before any device");
        } else if (w[0] == "path") {
            if (w.size() < 6) throw bad("path SD DRIVER PORT MODE STATE");
            current->paths.push_back({w[1], w[4], w[5]});
        } else if (w[0] == "partition") {
            current->partitions.push_back(std::stoi(w.at(1)));
        } else if (w[0] == "partitions") {
            for (int n = 1; n <= std::stoi(w.at(1)); ++n) current->partitions.push_back(n);
        } else if (w[0] == "image") {
            current->diskBacked = true;
            current->partitions = imagePartitions(w);
        } else {
            throw bad("unknown directive " + w[0]);
        }
    }
    std::sort(facts.devices.begin(), facts.devices.end(),
              [](const DeviceFacts& a, const DeviceFacts& b) { return a.index < b.index; });
    return facts;
}

std::vector<std::string> nodesOf(const std::vector<const DeviceFacts*>& devices) {
    std::vector<std::string> out;
    for (const DeviceFacts* d : devices) out.push_back(d->node());
    return out;
}

} // namespace e2e
