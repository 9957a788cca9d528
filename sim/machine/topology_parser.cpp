// SPDX-License-Identifier: Apache-2.0
// The topology format's parser: one directive a line, checked as it is read,
// each device checked against those before it when its last line is done.
#include "machine/device_names.h"
#include "machine/topology.h"
#include "machine/topology_lexer.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <unordered_map>

namespace sim {
namespace {

using lex::choice;
using lex::parseNumber;
using Words = std::vector<std::string>;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kDefaultDeviceKiB = 1024 * 1024; // 1 GiB
constexpr int kMaxBlockMajor = 511;
constexpr std::size_t kUsualPaths = 4; // room reserved for a device's paths

// How far a list of an image's NUMBER:SIZE|rest|ext partitions has got.
struct PartList {
    bool mbr = false;
    std::uint64_t used = 0;
    bool haveExtended = false;
    bool restTaken = false;
    int lastPrimary = 0;
    int lastLogical = 4;
};

class Parser {
public:
    Parser(const std::string& source, const std::string& baseDir) : source_(source), baseDir_(baseDir) {}

    Topology run(std::string_view text) {
        checkBytes(text);
        reserveFor(text);
        lex::forEachLine(text, [this](std::string_view line, int lineNo) {
            // Messages are C strings: a NUL would cut the line off in them.
            if (line.find('\0') != std::string_view::npos) fail(lineNo, "a NUL byte in the line");
            lex::tokenize(line, source_, lineNo, words_);
            handle(words_, lineNo);
        });
        finishDevice();
        finish();
        return std::move(topo_);
    }

private:
    // Room for the devices and paths a text of this size holds, counted
    // roughly (a path per line at most), so that the containers do not
    // grow and move their elements again and again on a large machine.
    void reserveFor(std::string_view text) {
        std::size_t devices = 0;
        for (std::size_t pos = text.find("device"); pos != std::string_view::npos; pos = text.find("device", pos + 6))
            ++devices;
        const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
        topo_.devices.reserve(devices);
        byName_.reserve(devices);
        byLdev_.reserve(devices);
        sdLines_.reserve(lines);
    }

    // A text past the limit is refused at the line where it passes it.
    void checkBytes(std::string_view text) const {
        const std::string passed = limitPassed({text.size(), 0, 0});
        if (passed.empty()) return;
        const auto line = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kMaxTopologyBytes), '\n');
        fail(static_cast<int>(line) + 1, passed);
    }

    // A device is refused when it takes the machine past a limit.
    void countCost(const Device& d) {
        // An image file's table is read only when the sandbox starts: counted at its most.
        const std::uint64_t partitions = d.image.kind == DiskImage::Kind::File
                                             ? static_cast<std::uint64_t>(kMaxPartition)
                                         : d.image.kind == DiskImage::Kind::Create ? d.image.parts.size()
                                                                                   : d.partitions.size();
        cost_.paths += d.paths.size();
        cost_.nodes += devNodesOf(d.paths.size(), partitions);
        const std::string passed = limitPassed(cost_);
        if (!passed.empty()) fail(d.line, "with device " + d.name + " " + passed);
    }

    [[noreturn]] void fail(int line, const std::string& message) const { throw TopologyError(source_, line, message); }

    void handle(const Words& w, int line) {
        if (w.empty()) return;
        const std::string& what = w[0];
        if (what == "admin-major") return adminMajor(w, line);
        if (what == "fail") return failure(w, line);
        if (what == "device") return device(w, line);
        if (what == "path" || what == "partition" || what == "partitions" || what == "image") {
            if (!current_) fail(line, "'" + what + "' before any 'device' line");
            if (what == "path") return path(w, line);
            if (what == "partition") return partition(w, line);
            if (what == "partitions") return partitions(w, line);
            return image(w, line);
        }
        fail(line, "unknown directive '" + what + "'");
    }

    void adminMajor(const Words& w, int line) {
        if (w.size() != 2) fail(line, "usage: admin-major NUMBER");
        if (adminLine_) fail(line, "admin-major given twice (first on line " + std::to_string(adminLine_) + ")");
        const auto major = parseNumber<int>(w[1]);
        if (!major || *major < 1 || *major > kMaxBlockMajor)
            fail(line,
                 "admin-major must be a number from 1 to " + std::to_string(kMaxBlockMajor) + ", not '" + w[1] + "'");
        if (isSdMajor(*major)) fail(line, "admin-major " + w[1] + " is a major of the sd driver");
        topo_.adminMajor = *major;
        adminLine_ = line;
    }

    void failure(const Words& w, int line) {
        if (w.size() < 3 || w.size() > 4) fail(line, "usage: fail COMMAND STATUS [\"MESSAGE\"]");
        if (!isFailableCommand(w[1]))
            fail(line, "fail: unknown command '" + w[1] + "' (display, config, remove, release or save)");
        const auto status = parseNumber<int>(w[2]);
        if (!status || *status < 1 || *status > 255)
            fail(line, "fail: status must be a number from 1 to 255, not '" + w[2] + "'");
        if (topo_.failureFor(w[1])) fail(line, "fail: '" + w[1] + "' is already made to fail");
        topo_.failures.push_back({w[1], *status, w.size() == 4 ? w[3] : std::string()});
    }

    // The index of a name that is `prefix` and letters, below `limit`; `why`
    // says in the message what ends the range there.
    unsigned long letteredIndex(const std::string& name, const std::string& prefix, unsigned long limit,
                                const std::string& what, const std::string& why, int line) const {
        const std::string_view letters = std::string_view(name).substr(std::min(name.size(), prefix.size()));
        if (name.rfind(prefix, 0) != 0 || !isLetters(letters))
            fail(line, what + " name '" + name + "' is not " + prefix + " followed by letters a-z");
        const auto index = letterIndex(letters);
        if (!index || *index >= limit)
            fail(line, what + " name '" + name + "' is out of range: " + prefix + "a to " + prefix +
                           letterName(limit - 1) + ", " + why);
        return *index;
    }

    void device(const Words& w, int line) {
        finishDevice();
        if (w.size() < 3) fail(line, "usage: device NAME symmetrix|clariion|vnx KEY=VALUE... [unconfigured]");
        Device d;
        d.line = line;
        d.name = w[1];
        d.index = letteredIndex(w[1], kPseudoPrefix, kPseudoLimit, "device",
                                "the pseudo devices whose 16 minors each fit in the 20-bit minor range", line);
        const auto kind = choice<ArrayKind>(w[2], kArrayKindWords);
        if (!kind) fail(line, "unknown array type '" + w[2] + "' (symmetrix, clariion or vnx)");
        d.kind = *kind;
        sizeGiven_ = deviceKeys(d, w, line);
        d.paths.reserve(kUsualPaths);
        if (!sizeGiven_) d.kib = kDefaultDeviceKiB;
        requireKeys(d, line);
        current_ = std::move(d);
    }

    // The KEY=VALUE words of a device line and `unconfigured`; returns
    // whether size= is among them.
    bool deviceKeys(Device& d, const Words& w, int line) {
        std::vector<std::string_view> seen; // a handful: a scan beats a tree
        bool sizeGiven = false;
        for (std::size_t i = 3; i < w.size(); ++i) {
            if (w[i] == "unconfigured") {
                d.configured = false;
                continue;
            }
            const auto eq = w[i].find('=');
            if (eq == std::string::npos) fail(line, "expected KEY=VALUE, found '" + w[i] + "'");
            const std::string key = w[i].substr(0, eq);
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) fail(line, key + "= given twice");
            seen.push_back(std::string_view(w[i]).substr(0, eq));
            sizeGiven = sizeGiven || key == "size";
            deviceKey(d, key, w[i].substr(eq + 1), line);
        }
        return sizeGiven;
    }

    void requireKeys(const Device& d, int line) const {
        if (d.arrayId.empty()) fail(line, "device " + d.name + " needs id=");
        if (d.ldev.empty()) fail(line, "device " + d.name + " needs ldev=");
        if (d.kind == ArrayKind::Symmetrix) return;
        if (d.group.empty()) fail(line, "device " + d.name + " needs group= (CLARiiON and VNX)");
        if (d.lun < 0) fail(line, "device " + d.name + " needs lun= (CLARiiON and VNX)");
    }

    void deviceKey(Device& d, const std::string& key, const std::string& value, int line) {
        const bool clariionOnly = key == "group" || key == "lun" || key == "owner" || key == "current-owner";
        if (clariionOnly && d.kind == ArrayKind::Symmetrix)
            fail(line, key + "= applies to CLARiiON and VNX devices only");
        if (key == "id" || key == "ldev") {
            if (!lex::isAlnum(value)) fail(line, key + "= must be letters and digits, not '" + value + "'");
            (key == "id" ? d.arrayId : d.ldev) = value;
        } else if (key == "group") {
            if (value.empty() || !lex::isPrintable(value) || value.find(']') != std::string::npos)
                fail(line, "group= must be printable text without ']'");
            d.group = value;
        } else if (key == "lun") {
            const auto lun = parseNumber<long>(value);
            if (!lun || *lun < 0 || *lun > 65535)
                fail(line, "lun= must be a number from 0 to 65535, not '" + value + "'");
            d.lun = *lun;
        } else if (key == "owner" || key == "current-owner") {
            if (value != "A" && value != "B") fail(line, key + "= must be A or B, not '" + value + "'");
            (key == "owner" ? d.owner : d.currentOwner) = value[0];
        } else if (key == "size") {
            d.kib = sizeKiB(value, line, "size=");
        } else {
            fail(line, "unknown device key '" + key + "'");
        }
    }

    std::uint64_t sizeBytes(const std::string& text, int line, const std::string& what) const {
        try {
            return parseSize(text);
        } catch (const std::invalid_argument& e) {
            fail(line, what + " " + e.what());
        }
    }

    std::uint64_t sizeKiB(const std::string& text, int line, const std::string& what) const {
        const std::uint64_t bytes = sizeBytes(text, line, what);
        if (bytes % 1024 != 0) fail(line, what + " '" + text + "' is not a whole number of KiB");
        return bytes / 1024;
    }

    void path(const Words& w, int line) {
        if (w.size() < 6)
            fail(line, "usage: path SD DRIVER \"PORT\" active|standby|unlic alive|dead [hba=N] [queued=N] [errors=N]");
        Path p;
        p.line = line;
        p.sd = w[1];
        p.disk = letteredIndex(w[1], "sd", kSdDiskLimit, "path", "the disks the sd driver numbers", line);
        if (!lex::isDriverName(w[2]))
            fail(line, "HBA driver '" + w[2] +
                           "' must be words of letters, digits, '_', '-' or '.' separated by single blanks");
        p.driver = w[2];
        if (w[3].empty() || !lex::isPrintable(w[3]) || w[3].find('=') != std::string::npos || w[3].front() == ' ' ||
            w[3].back() == ' ')
            fail(line, "storage port '" + w[3] + "' must be printable text without '=' or blanks at its ends");
        p.port = w[3];
        const auto mode = choice<PathMode>(w[4], kPathModeWords);
        if (!mode) fail(line, "path mode must be active, standby or unlic, not '" + w[4] + "'");
        const auto state = choice<PathState>(w[5], kPathStateWords);
        if (!state) fail(line, "path state must be alive or dead, not '" + w[5] + "'");
        p.mode = *mode;
        p.state = *state;
        pathCounters(p, w, line);
        current_->paths.push_back(std::move(p));
    }

    // The optional hba=N, queued=N and errors=N of a path line.
    void pathCounters(Path& p, const Words& w, int line) const {
        std::set<std::string> seen;
        for (std::size_t i = 6; i < w.size(); ++i) {
            const auto eq = w[i].find('=');
            const std::string key = eq == std::string::npos ? w[i] : w[i].substr(0, eq);
            if (eq == std::string::npos || (key != "hba" && key != "queued" && key != "errors"))
                fail(line, "expected hba=N, queued=N or errors=N, found '" + w[i] + "'");
            if (!seen.insert(key).second) fail(line, key + "= given twice");
            const auto value = parseNumber<std::uint64_t>(std::string_view(w[i]).substr(eq + 1));
            if (!value || *value > 999999) fail(line, key + "= must be a number from 0 to 999999");
            if (key == "hba")
                p.hba = static_cast<long>(*value);
            else if (key == "queued")
                p.queued = *value;
            else
                p.errors = *value;
        }
    }

    void partition(const Words& w, int line) {
        if (w.size() != 3) fail(line, "usage: partition NUMBER SIZE");
        if (equalLine_) fail(line, "'partition' and 'partitions' cannot be mixed");
        const auto number = parseNumber<int>(w[1]);
        if (!number || *number < 1 || *number > kMaxPartition)
            fail(line, "partition number must be from 1 to 15, not '" + w[1] + "'");
        for (const auto& p : current_->partitions)
            if (p.number == *number) fail(line, "partition " + w[1] + " given twice");
        const std::uint64_t kib = sizeKiB(w[2], line, "partition size");
        if (kib == 0) fail(line, "partition size must not be 0");
        current_->partitions.push_back({*number, kib});
        partitionLines_.push_back(line);
    }

    void partitions(const Words& w, int line) {
        if (w.size() != 2) fail(line, "usage: partitions COUNT");
        if (equalLine_ || !current_->partitions.empty()) fail(line, "'partitions' given with other partition lines");
        const auto count = parseNumber<int>(w[1]);
        if (!count || *count < 1 || *count > kMaxPartition)
            fail(line, "partition count must be from 1 to 15, not '" + w[1] + "'");
        equalCount_ = *count;
        equalLine_ = line;
    }

    void image(const Words& w, int line) {
        DiskImage& img = current_->image;
        if (img.kind != DiskImage::Kind::None)
            fail(line, "device " + current_->name + " has an image already (line " + std::to_string(img.line) + ")");
        img.line = line;
        if (w.size() == 2 && w[1].rfind("file=", 0) == 0) return imageFile(img, w[1].substr(5), line);
        if (w.size() < 4)
            fail(line, "usage: image SIZE mbr|gpt COUNT | NUMBER:SIZE|rest|ext ...   or   image file=PATH");
        img.kind = DiskImage::Kind::Create;
        img.bytes = sizeBytes(w[1], line, "image size");
        if (img.bytes % kMiB != 0 || img.bytes < 2 * kMiB)
            fail(line, "image size must be a whole number of MiB, at least 2M");
        if (w[2] == "mbr")
            img.label = "dos";
        else if (w[2] == "gpt")
            img.label = "gpt";
        else
            fail(line, "partition table must be mbr or gpt, not '" + w[2] + "'");
        // Room that no partition can use: 1 MiB in front, and for GPT the backup table.
        const std::uint64_t reserved = img.label == "dos" ? kMiB : 2 * kMiB;
        if (img.bytes <= reserved) fail(line, "image too small for a partition table");
        if (w.size() == 4 && w[3].find(':') == std::string::npos) return evenParts(img, w, reserved, line);
        PartList list{img.label == "dos"};
        for (std::size_t i = 3; i < w.size(); ++i) img.parts.push_back(listedPart(list, w[i], line));
        if (list.used + reserved > img.bytes) fail(line, "the partitions do not fit in the image");
    }

    void imageFile(DiskImage& img, const std::string& file, int line) const {
        if (file.empty()) fail(line, "image file= needs a file name");
        img.kind = DiskImage::Kind::File;
        img.file = std::filesystem::absolute(std::filesystem::path(baseDir_) / file).lexically_normal().string();
    }

    // `image SIZE TABLE COUNT`: COUNT partitions of equal whole MiB, the last taking the rest.
    void evenParts(DiskImage& img, const Words& w, std::uint64_t reserved, int line) const {
        const auto count = parseNumber<int>(w[3]);
        const int max = img.label == "dos" ? 4 : kMaxPartition;
        if (!count || *count < 1 || *count > max)
            fail(line, "partition count must be from 1 to " + std::to_string(max) + " for " + w[2]);
        const std::uint64_t each = (img.bytes - reserved) / static_cast<std::uint64_t>(*count) / kMiB * kMiB;
        if (each == 0) fail(line, "image too small for " + w[3] + " partitions");
        for (int n = 1; n <= *count; ++n) img.parts.push_back({n, n == *count ? 0 : each, false});
    }

    ImagePart listedPart(PartList& list, const std::string& word, int line) const {
        const auto colon = word.find(':');
        if (colon == std::string::npos)
            fail(line, "expected NUMBER:SIZE, NUMBER:rest or NUMBER:ext, found '" + word + "'");
        const auto number = parseNumber<int>(std::string_view(word).substr(0, colon));
        if (!number || *number < 1 || *number > kMaxPartition)
            fail(line, "partition number in '" + word + "' must be from 1 to 15");
        const bool logical = list.mbr && *number > 4;
        partOrder(list, *number, logical, line);
        if (list.restTaken) fail(line, "only the last partition can take the rest of the disk");
        return partExtent(list, {*number, 0, false}, word.substr(colon + 1), logical, line);
    }

    // Primaries are numbered 1, 2, ..., an MBR's extended one last among
    // them; logical partitions follow it as 5, 6, ...
    void partOrder(PartList& list, int number, bool logical, int line) const {
        if (logical) {
            if (!list.haveExtended)
                fail(line, "logical partition " + std::to_string(number) + " needs an extended partition before it");
            if (number != list.lastLogical + 1) fail(line, "logical partitions must be numbered 5, 6, ... in order");
            list.lastLogical = number;
            return;
        }
        if (list.haveExtended)
            fail(line, "primary partition " + std::to_string(number) +
                           " after the extended one; the extended partition must be the last primary");
        if (number != list.lastPrimary + 1) fail(line, "partitions must be numbered 1, 2, ... in order");
        list.lastPrimary = number;
    }

    ImagePart partExtent(PartList& list, ImagePart part, const std::string& what, bool logical, int line) const {
        if (what == "ext") {
            if (!list.mbr) fail(line, "extended partitions exist only in an MBR");
            if (list.haveExtended) fail(line, "only one extended partition");
            part.extended = list.haveExtended = true;
        } else if (what == "rest") {
            list.restTaken = true;
        } else {
            part.bytes = sizeBytes(what, line, "partition size");
            if (part.bytes == 0 || part.bytes % 512 != 0)
                fail(line, "partition size '" + what + "' must be a positive number of sectors");
            list.used += part.bytes + (logical ? kMiB : 0); // room for the logical's EBR, aligned
        }
        return part;
    }

    void finishDevice() {
        if (!current_) return;
        Device& d = *current_;
        if (d.paths.empty()) fail(d.line, "device " + d.name + " has no path");
        const bool hasImage = d.image.kind != DiskImage::Kind::None;
        if (hasImage) checkImageDevice(d);
        if (equalLine_) equalPartitions(d);
        std::uint64_t total = 0;
        for (const auto& p : d.partitions) total += p.kib;
        if (total > d.kib)
            fail(partitionLines_.empty() ? d.line : partitionLines_.back(),
                 "the partitions of " + d.name + " are larger than the device");
        std::sort(d.partitions.begin(), d.partitions.end(),
                  [](const Partition& a, const Partition& b) { return a.number < b.number; });
        if (hasImage) d.kib = d.image.kind == DiskImage::Kind::Create ? d.image.bytes / 1024 : 0;
        checkUnique(d);
        countCost(d);
        add(std::move(d));
        current_.reset();
        partitionLines_.clear();
        equalLine_ = 0;
        equalCount_ = 0;
    }

    void checkImageDevice(const Device& d) const {
        if (!d.partitions.empty() || equalLine_)
            fail(partitionLines_.empty() ? equalLine_ : partitionLines_.front(),
                 "device " + d.name + " has an image; its partitions come from the image's table");
        if (sizeGiven_) fail(d.line, "device " + d.name + " has an image; its size comes from the image");
    }

    void equalPartitions(Device& d) const {
        const std::uint64_t each = d.kib > 1024 ? (d.kib - 1024) / static_cast<std::uint64_t>(equalCount_) : 0;
        if (each == 0) fail(equalLine_, "device too small for " + std::to_string(equalCount_) + " partitions");
        for (int n = 1; n <= equalCount_; ++n) d.partitions.push_back({n, each});
    }

    // The position in topo_.devices of the device `key` indexes; past the end for none.
    template <typename Key>
    std::size_t position(const std::unordered_map<Key, std::size_t>& index, const Key& key) const {
        const auto it = index.find(key);
        return it == index.end() ? topo_.devices.size() : it->second;
    }

    // A device's name, logical device id and paths are its own; of two clashes
    // the one with the earlier device is reported.
    void checkUnique(const Device& d) const {
        const std::size_t name = position(byName_, d.index);
        const std::size_t ldev = position(byLdev_, d.ldev);
        if (name < topo_.devices.size() && name <= ldev)
            fail(d.line,
                 "device " + d.name + " given twice (first on line " + std::to_string(topo_.devices[name].line) + ")");
        if (ldev < topo_.devices.size())
            fail(d.line, "logical device id " + d.ldev + " used by " + topo_.devices[ldev].name + " too");
    }

    void add(Device&& d) {
        for (const auto& p : d.paths) {
            const auto [it, fresh] = sdLines_.emplace(p.disk, p.line);
            if (!fresh)
                fail(p.line, "path " + p.sd + " given twice (first on line " + std::to_string(it->second) + ")");
        }
        byName_.emplace(d.index, topo_.devices.size());
        byLdev_.emplace(d.ldev, topo_.devices.size());
        topo_.devices.push_back(std::move(d));
    }

    void finish() {
        if (topo_.diskBacked()) {
            if (adminLine_ && topo_.adminMajor != kLoopMajor)
                fail(adminLine_, "a topology with disk-backed devices uses the loop major 7 as its admin major");
            topo_.adminMajor = kLoopMajor;
        }
        const auto byIndex = [](const Device& a, const Device& b) { return a.index < b.index; };
        // Usually written in order already; sorting moves large elements.
        if (!std::is_sorted(topo_.devices.begin(), topo_.devices.end(), byIndex))
            std::sort(topo_.devices.begin(), topo_.devices.end(), byIndex);
    }

    std::string source_;
    std::string baseDir_;
    Words words_; // the words of the line at hand, reused line after line
    Topology topo_;
    std::optional<Device> current_;
    std::vector<int> partitionLines_;
    int equalLine_ = 0;
    int equalCount_ = 0;
    int adminLine_ = 0;
    bool sizeGiven_ = false;
    MachineCost cost_; // of the devices read so far
    // Hashed indexes of the devices read so far: positions by name and by
    // logical device id, and the line of each sd path. Names are keyed by
    // their letter indexes, which stand for them one to one and hash
    // without an allocation.
    std::unordered_map<unsigned long, std::size_t> byName_;
    std::unordered_map<std::string, std::size_t> byLdev_;
    std::unordered_map<unsigned long, int> sdLines_; // by sd disk index
};

} // namespace

Topology parseTopology(std::string_view text, const std::string& source, const std::string& baseDir) {
    return Parser(source, baseDir).run(text);
}

} // namespace sim
