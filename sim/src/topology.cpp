#include "topology.h"

#include "names.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

namespace sim {

TopologyError::TopologyError(const std::string& source, int line, const std::string& message)
    : std::runtime_error(source + ":" + std::to_string(line) + ": " + message), line_(line) {}

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kDefaultDeviceKiB = 1024 * 1024; // 1 GiB
constexpr int kMaxPartition = 15;
constexpr int kMaxBlockMajor = 511;

bool isSdMajor(int major) {
    return major == 8 || (major >= 65 && major <= 71) || (major >= 128 && major <= 135);
}

// Splits a line into words: blanks separate, double quotes group (with \" and
// \\ inside them), and a word that starts with # begins a comment.
std::vector<std::string> tokenize(std::string_view line, const std::string& source, int lineNo) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        if (i >= line.size() || line[i] == '#') break;
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            if (line[i] != '"') {
                word.push_back(line[i++]);
                continue;
            }
            ++i; // opening quote
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\')) {
                    word.push_back(line[i++]);
                    continue;
                }
                word.push_back(c);
            }
            if (!closed) throw TopologyError(source, lineNo, "unterminated quote");
        }
        words.push_back(std::move(word));
    }
    return words;
}

template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    if (text.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isAlnum(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

bool isPrintable(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; });
}

class Parser {
public:
    Parser(const std::string& source, const std::string& baseDir) : source_(source), baseDir_(baseDir) {}

    Topology run(std::string_view text) {
        int lineNo = 0;
        std::size_t pos = 0;
        while (pos <= text.size()) {
            const std::size_t nl = text.find('\n', pos);
            const std::string_view line =
                text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
            ++lineNo;
            // Messages are C strings: a NUL would cut the line off in them.
            if (line.find('\0') != std::string_view::npos) fail(lineNo, "a NUL byte in the line");
            handle(tokenize(line, source_, lineNo), lineNo);
            if (nl == std::string_view::npos) break;
            pos = nl + 1;
        }
        finishDevice();
        finish();
        return std::move(topo_);
    }

private:
    [[noreturn]] void fail(int line, const std::string& message) const {
        throw TopologyError(source_, line, message);
    }

    void handle(const std::vector<std::string>& w, int line) {
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

    void adminMajor(const std::vector<std::string>& w, int line) {
        if (w.size() != 2) fail(line, "usage: admin-major NUMBER");
        if (adminLine_) fail(line, "admin-major given twice (first on line " + std::to_string(adminLine_) + ")");
        const auto major = parseNumber<int>(w[1]);
        if (!major || *major < 1 || *major > kMaxBlockMajor)
            fail(line, "admin-major must be a number from 1 to " + std::to_string(kMaxBlockMajor) + ", not '" + w[1] + "'");
        if (isSdMajor(*major)) fail(line, "admin-major " + w[1] + " is a major of the sd driver");
        topo_.adminMajor = *major;
        adminLine_ = line;
    }

    void failure(const std::vector<std::string>& w, int line) {
        if (w.size() < 3 || w.size() > 4) fail(line, "usage: fail COMMAND STATUS [\"MESSAGE\"]");
        if (!isFailableCommand(w[1]))
            fail(line, "fail: unknown command '" + w[1] + "' (display, config, remove, release or save)");
        const auto status = parseNumber<int>(w[2]);
        if (!status || *status < 1 || *status > 255)
            fail(line, "fail: status must be a number from 1 to 255, not '" + w[2] + "'");
        if (topo_.failureFor(w[1])) fail(line, "fail: '" + w[1] + "' is already made to fail");
        topo_.failures.push_back({w[1], *status, w.size() == 4 ? w[3] : std::string()});
    }

    void device(const std::vector<std::string>& w, int line) {
        finishDevice();
        if (w.size() < 3) fail(line, "usage: device NAME symmetrix|clariion|vnx KEY=VALUE... [unconfigured]");
        Device d;
        d.line = line;
        d.name = w[1];
        const auto index = pseudoIndex(w[1]);
        if (!index || w[1].find('/') != std::string::npos)
            fail(line, "device name '" + w[1] + "' is not emcpower followed by letters a-z");
        if (*index >= kMinorLimit / 16) fail(line, "device index of '" + w[1] + "' is too large");
        d.index = *index;
        if (w[2] == "symmetrix") d.kind = ArrayKind::Symmetrix;
        else if (w[2] == "clariion") d.kind = ArrayKind::Clariion;
        else if (w[2] == "vnx") d.kind = ArrayKind::Vnx;
        else fail(line, "unknown array type '" + w[2] + "' (symmetrix, clariion or vnx)");

        std::set<std::string> seen;
        for (std::size_t i = 3; i < w.size(); ++i) {
            if (w[i] == "unconfigured") {
                d.configured = false;
                continue;
            }
            const auto eq = w[i].find('=');
            if (eq == std::string::npos) fail(line, "expected KEY=VALUE, found '" + w[i] + "'");
            const std::string key = w[i].substr(0, eq);
            const std::string value = w[i].substr(eq + 1);
            if (!seen.insert(key).second) fail(line, key + "= given twice");
            deviceKey(d, key, value, line);
        }
        if (d.arrayId.empty()) fail(line, "device " + d.name + " needs id=");
        if (d.ldev.empty()) fail(line, "device " + d.name + " needs ldev=");
        if (d.kind != ArrayKind::Symmetrix) {
            if (d.group.empty()) fail(line, "device " + d.name + " needs group= (CLARiiON and VNX)");
            if (d.lun < 0) fail(line, "device " + d.name + " needs lun= (CLARiiON and VNX)");
        }
        if (!seen.count("size")) d.kib = kDefaultDeviceKiB;
        sizeGiven_ = seen.count("size") != 0;
        current_ = std::move(d);
    }

    void deviceKey(Device& d, const std::string& key, const std::string& value, int line) {
        const bool clariionOnly = key == "group" || key == "lun" || key == "owner" || key == "current-owner";
        if (clariionOnly && d.kind == ArrayKind::Symmetrix)
            fail(line, key + "= applies to CLARiiON and VNX devices only");
        if (key == "id" || key == "ldev") {
            if (!isAlnum(value)) fail(line, key + "= must be letters and digits, not '" + value + "'");
            (key == "id" ? d.arrayId : d.ldev) = value;
        } else if (key == "group") {
            if (value.empty() || !isPrintable(value) || value.find(']') != std::string::npos)
                fail(line, "group= must be printable text without ']'");
            d.group = value;
        } else if (key == "lun") {
            const auto lun = parseNumber<long>(value);
            if (!lun || *lun < 0 || *lun > 65535) fail(line, "lun= must be a number from 0 to 65535, not '" + value + "'");
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

    void path(const std::vector<std::string>& w, int line) {
        if (w.size() < 6) fail(line, "usage: path SD DRIVER \"PORT\" active|standby|unlic alive|dead [hba=N] [queued=N] [errors=N]");
        Path p;
        p.line = line;
        const auto disk = sdIndex(w[1]);
        if (!disk) fail(line, "path name '" + w[1] + "' is not sd followed by letters (sda to sdiv)");
        p.sd = w[1];
        p.disk = *disk;
        const auto driverOk = std::all_of(w[2].begin(), w[2].end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-' || c == '.';
        });
        if (w[2].empty() || !driverOk) fail(line, "HBA driver '" + w[2] + "' must be one word of letters, digits, '_', '-' or '.'");
        p.driver = w[2];
        if (w[3].empty() || !isPrintable(w[3]) || w[3].find('=') != std::string::npos || w[3].front() == ' ' || w[3].back() == ' ')
            fail(line, "storage port '" + w[3] + "' must be printable text without '=' or blanks at its ends");
        p.port = w[3];
        if (w[4] == "active") p.mode = PathMode::Active;
        else if (w[4] == "standby") p.mode = PathMode::Standby;
        else if (w[4] == "unlic") p.mode = PathMode::Unlic;
        else fail(line, "path mode must be active, standby or unlic, not '" + w[4] + "'");
        if (w[5] == "alive") p.state = PathState::Alive;
        else if (w[5] == "dead") p.state = PathState::Dead;
        else fail(line, "path state must be alive or dead, not '" + w[5] + "'");
        std::set<std::string> seen;
        for (std::size_t i = 6; i < w.size(); ++i) {
            const auto eq = w[i].find('=');
            const std::string key = eq == std::string::npos ? w[i] : w[i].substr(0, eq);
            if (eq == std::string::npos || (key != "hba" && key != "queued" && key != "errors"))
                fail(line, "expected hba=N, queued=N or errors=N, found '" + w[i] + "'");
            if (!seen.insert(key).second) fail(line, key + "= given twice");
            const auto value = parseNumber<std::uint64_t>(std::string_view(w[i]).substr(eq + 1));
            if (!value || *value > 999999) fail(line, key + "= must be a number from 0 to 999999");
            if (key == "hba") p.hba = static_cast<long>(*value);
            else if (key == "queued") p.queued = *value;
            else p.errors = *value;
        }
        current_->paths.push_back(std::move(p));
    }

    void partition(const std::vector<std::string>& w, int line) {
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

    void partitions(const std::vector<std::string>& w, int line) {
        if (w.size() != 2) fail(line, "usage: partitions COUNT");
        if (equalLine_ || !current_->partitions.empty())
            fail(line, "'partitions' given with other partition lines");
        const auto count = parseNumber<int>(w[1]);
        if (!count || *count < 1 || *count > kMaxPartition)
            fail(line, "partition count must be from 1 to 15, not '" + w[1] + "'");
        equalCount_ = *count;
        equalLine_ = line;
    }

    void image(const std::vector<std::string>& w, int line) {
        if (current_->image.kind != DiskImage::Kind::None)
            fail(line, "device " + current_->name + " has an image already (line " + std::to_string(current_->image.line) + ")");
        DiskImage& img = current_->image;
        img.line = line;
        if (w.size() == 2 && w[1].rfind("file=", 0) == 0) {
            const std::string file = w[1].substr(5);
            if (file.empty()) fail(line, "image file= needs a file name");
            img.kind = DiskImage::Kind::File;
            img.file = std::filesystem::absolute(std::filesystem::path(baseDir_) / file).lexically_normal().string();
            return;
        }
        if (w.size() < 4) fail(line, "usage: image SIZE mbr|gpt COUNT | NUMBER:SIZE|rest|ext ...   or   image file=PATH");
        img.kind = DiskImage::Kind::Create;
        img.bytes = sizeBytes(w[1], line, "image size");
        if (img.bytes % kMiB != 0 || img.bytes < 2 * kMiB)
            fail(line, "image size must be a whole number of MiB, at least 2M");
        if (w[2] == "mbr") img.label = "dos";
        else if (w[2] == "gpt") img.label = "gpt";
        else fail(line, "partition table must be mbr or gpt, not '" + w[2] + "'");
        const bool mbr = img.label == "dos";
        // Room that no partition can use: 1 MiB in front, and for GPT the backup table.
        const std::uint64_t reserved = mbr ? kMiB : 2 * kMiB;
        if (img.bytes <= reserved) fail(line, "image too small for a partition table");

        if (w.size() == 4 && w[3].find(':') == std::string::npos) {
            const auto count = parseNumber<int>(w[3]);
            const int max = mbr ? 4 : kMaxPartition;
            if (!count || *count < 1 || *count > max)
                fail(line, "partition count must be from 1 to " + std::to_string(max) + " for " + w[2]);
            const std::uint64_t each = (img.bytes - reserved) / static_cast<std::uint64_t>(*count) / kMiB * kMiB;
            if (each == 0) fail(line, "image too small for " + w[3] + " partitions");
            for (int n = 1; n <= *count; ++n) img.parts.push_back({n, n == *count ? 0 : each, false});
            return;
        }
        std::uint64_t used = 0;
        bool haveExtended = false;
        bool restTaken = false;
        int lastPrimary = 0;
        int lastLogical = 4;
        for (std::size_t i = 3; i < w.size(); ++i) {
            const auto colon = w[i].find(':');
            if (colon == std::string::npos) fail(line, "expected NUMBER:SIZE, NUMBER:rest or NUMBER:ext, found '" + w[i] + "'");
            const auto number = parseNumber<int>(std::string_view(w[i]).substr(0, colon));
            const std::string what = w[i].substr(colon + 1);
            if (!number || *number < 1 || *number > kMaxPartition)
                fail(line, "partition number in '" + w[i] + "' must be from 1 to 15");
            ImagePart part{*number, 0, false};
            const bool logical = mbr && *number > 4;
            if (logical) {
                if (!haveExtended) fail(line, "logical partition " + std::to_string(*number) + " needs an extended partition before it");
                if (*number != lastLogical + 1) fail(line, "logical partitions must be numbered 5, 6, ... in order");
                lastLogical = *number;
            } else {
                if (haveExtended) fail(line, "primary partition " + std::to_string(*number) + " after the extended one; the extended partition must be the last primary");
                if (*number != lastPrimary + 1) fail(line, "partitions must be numbered 1, 2, ... in order");
                if (mbr && *number > 4) fail(line, "an MBR has at most 4 primary partitions");
                lastPrimary = *number;
            }
            if (restTaken) fail(line, "only the last partition can take the rest of the disk");
            if (what == "ext") {
                if (!mbr) fail(line, "extended partitions exist only in an MBR");
                if (haveExtended) fail(line, "only one extended partition");
                part.extended = true;
                haveExtended = true;
            } else if (what == "rest") {
                restTaken = true;
            } else {
                part.bytes = sizeBytes(what, line, "partition size");
                if (part.bytes == 0 || part.bytes % 512 != 0) fail(line, "partition size '" + what + "' must be a positive number of sectors");
                used += part.bytes + (logical ? kMiB : 0); // room for the logical's EBR, aligned
            }
            img.parts.push_back(part);
        }
        if (used + reserved > img.bytes) fail(line, "the partitions do not fit in the image");
    }

    void finishDevice() {
        if (!current_) return;
        Device& d = *current_;
        if (d.paths.empty()) fail(d.line, "device " + d.name + " has no path");
        const bool hasImage = d.image.kind != DiskImage::Kind::None;
        if (hasImage && (!d.partitions.empty() || equalLine_))
            fail(partitionLines_.empty() ? equalLine_ : partitionLines_.front(),
                 "device " + d.name + " has an image; its partitions come from the image's table");
        if (hasImage && sizeGiven_)
            fail(d.line, "device " + d.name + " has an image; its size comes from the image");
        if (equalLine_) {
            const std::uint64_t each = d.kib > 1024 ? (d.kib - 1024) / static_cast<std::uint64_t>(equalCount_) : 0;
            if (each == 0) fail(equalLine_, "device too small for " + std::to_string(equalCount_) + " partitions");
            for (int n = 1; n <= equalCount_; ++n) d.partitions.push_back({n, each});
        }
        std::uint64_t total = 0;
        for (const auto& p : d.partitions) total += p.kib;
        if (total > d.kib) fail(partitionLines_.empty() ? d.line : partitionLines_.back(), "the partitions of " + d.name + " are larger than the device");
        std::sort(d.partitions.begin(), d.partitions.end(),
                  [](const Partition& a, const Partition& b) { return a.number < b.number; });
        if (hasImage) d.kib = d.image.kind == DiskImage::Kind::Create ? d.image.bytes / 1024 : 0;
        for (const auto& other : topo_.devices) {
            if (other.name == d.name) fail(d.line, "device " + d.name + " given twice (first on line " + std::to_string(other.line) + ")");
            if (other.ldev == d.ldev) fail(d.line, "logical device id " + d.ldev + " used by " + other.name + " too");
        }
        for (const auto& p : d.paths) {
            const auto [it, fresh] = sdOwners_.emplace(p.sd, p.line);
            if (!fresh) fail(p.line, "path " + p.sd + " given twice (first on line " + std::to_string(it->second) + ")");
        }
        topo_.devices.push_back(std::move(d));
        current_.reset();
        partitionLines_.clear();
        equalLine_ = 0;
        equalCount_ = 0;
    }

    void finish() {
        if (topo_.diskBacked()) {
            if (adminLine_ && topo_.adminMajor != kLoopMajor)
                fail(adminLine_, "a topology with disk-backed devices uses the loop major 7 as its admin major");
            topo_.adminMajor = kLoopMajor;
        }
        std::sort(topo_.devices.begin(), topo_.devices.end(),
                  [](const Device& a, const Device& b) { return a.index < b.index; });
    }

    std::string source_;
    std::string baseDir_;
    Topology topo_;
    std::optional<Device> current_;
    std::vector<int> partitionLines_;
    int equalLine_ = 0;
    int equalCount_ = 0;
    int adminLine_ = 0;
    bool sizeGiven_ = false;
    std::map<std::string, int> sdOwners_;
};

} // namespace

bool Topology::diskBacked() const {
    return std::any_of(devices.begin(), devices.end(),
                       [](const Device& d) { return d.image.kind != DiskImage::Kind::None; });
}

const Device* Topology::find(std::string_view name) const {
    for (const auto& d : devices)
        if (d.name == name) return &d;
    return nullptr;
}

Device* Topology::find(std::string_view name) {
    return const_cast<Device*>(static_cast<const Topology*>(this)->find(name));
}

const Failure* Topology::failureFor(std::string_view command) const {
    for (const auto& f : failures)
        if (f.command == command) return &f;
    return nullptr;
}

Topology parseTopology(std::string_view text, const std::string& source, const std::string& baseDir) {
    return Parser(source, baseDir).run(text);
}

std::uint64_t parseSize(std::string_view text) {
    std::uint64_t multiplier = 1024;
    std::string_view digits = text;
    if (!digits.empty()) {
        switch (digits.back()) {
        case 'K': multiplier = 1ULL << 10; break;
        case 'M': multiplier = 1ULL << 20; break;
        case 'G': multiplier = 1ULL << 30; break;
        case 'T': multiplier = 1ULL << 40; break;
        default: multiplier = 0; break;
        }
        if (multiplier) digits.remove_suffix(1);
        else multiplier = 1024;
    }
    const auto value = parseNumber<std::uint64_t>(digits);
    if (!value) throw std::invalid_argument("'" + std::string(text) + "' is not a size (NUMBER with K, M, G or T, or a number of KiB)");
    if (*value > (1ULL << 50) / multiplier) throw std::invalid_argument("'" + std::string(text) + "' is too large");
    return *value * multiplier;
}

const char* arrayKindName(ArrayKind kind) {
    switch (kind) {
    case ArrayKind::Symmetrix: return "Symmetrix";
    case ArrayKind::Clariion: return "CLARiiON";
    case ArrayKind::Vnx: return "VNX";
    }
    return "?";
}

const char* pathModeName(PathMode mode) {
    switch (mode) {
    case PathMode::Active: return "active";
    case PathMode::Standby: return "standby";
    case PathMode::Unlic: return "unlic";
    }
    return "?";
}

const char* pathStateName(PathState state) { return state == PathState::Alive ? "alive" : "dead"; }

bool isFailableCommand(std::string_view command) {
    return command == "display" || command == "config" || command == "remove" || command == "release" ||
           command == "save";
}

} // namespace sim
