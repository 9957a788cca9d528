// SPDX-License-Identifier: Apache-2.0
#include "sandbox/disk_image.h"

#include "machine/checked_files.h"

#include "mpio/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <sstream>

namespace sim {
namespace {

namespace process = mpio::process;

// The most bytes kept of each stream of sfdisk, and how long it may take.
constexpr std::size_t kSfdiskOutputLimit = 4 * 1024 * 1024;
constexpr std::chrono::seconds kSfdiskTimeout{60};

// sfdisk with `args`, fed `input`; throws when it cannot be run or does not finish in time.
process::ProgramRun sfdisk(const std::vector<std::string>& args, const std::string& input) {
    process::ProgramRun r = process::runProgram(
        "sfdisk", args, {.input = input, .timeout = kSfdiskTimeout, .outputLimit = kSfdiskOutputLimit});
    if (r.timedOut)
        throw std::runtime_error("sfdisk did not finish within " + std::to_string(kSfdiskTimeout.count()) + " s");
    return r;
}

std::uint64_t fieldValue(const std::string& line, const std::string& key, bool& found) {
    found = false;
    const auto pos = line.find(key + "=");
    if (pos == std::string::npos) return 0;
    std::size_t i = pos + key.size() + 1;
    while (i < line.size() && line[i] == ' ') ++i;
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(line.data() + i, line.data() + line.size(), value);
    found = ec == std::errc() && end != line.data() + i;
    return value;
}

std::string fieldText(const std::string& line, const std::string& key) {
    const auto pos = line.find(key + "=");
    if (pos == std::string::npos) return {};
    std::size_t i = pos + key.size() + 1;
    while (i < line.size() && line[i] == ' ') ++i;
    const auto end = line.find(',', i);
    return line.substr(i, end == std::string::npos ? std::string::npos : end - i);
}

// A table read from a corrupted or hostile image can claim any sector
// numbers: each partition must lie within the image, which also keeps its
// size in bytes from overflowing.
void checkFitsInImage(int number, std::uint64_t start, std::uint64_t sectors, std::uint64_t sectorSize,
                      std::uint64_t imageBytes) {
    const std::uint64_t imageSectors = imageBytes / sectorSize;
    if (start <= imageSectors && sectors <= imageSectors - start) return;
    throw std::runtime_error("partition " + std::to_string(number) + " starts at sector " + std::to_string(start) +
                             " and has " + std::to_string(sectors) + " sectors, beyond the image's " +
                             std::to_string(imageSectors) + " sectors of " + std::to_string(sectorSize) + " bytes");
}

} // namespace

std::string sfdiskScript(const DiskImage& image) {
    std::string script = "label: " + image.label + "\nunit: sectors\n";
    for (const auto& p : image.parts) {
        std::string line;
        if (p.bytes) line += "size=" + std::to_string(p.bytes / 512);
        const std::string type = p.extended ? "type=5" : (image.label == "dos" ? "type=83" : "");
        if (!type.empty()) line += (line.empty() ? "" : ", ") + type;
        script += (line.empty() ? std::string(",") : line) + "\n";
    }
    return script;
}

void createImage(const DiskImage& image, const std::string& path) {
    const process::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) throw SysError("cannot create image " + path, errno);
    if (::ftruncate(fd.get(), static_cast<off_t>(image.bytes)) != 0) throw SysError("cannot size image " + path, errno);
    const process::ProgramRun r = sfdisk({"--quiet", "--no-reread", "--no-tell-kernel", path}, sfdiskScript(image));
    if (r.exitStatus != 0)
        throw std::runtime_error("sfdisk could not write the partition table of " + path + " (status " +
                                 std::to_string(r.exitStatus) + "): " + r.err);
}

std::vector<Partition> parseSfdiskDump(const std::string& dump, std::uint64_t imageBytes) {
    std::vector<Partition> parts;
    std::uint64_t sectorSize = 512;
    std::istringstream in(dump);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("sector-size:", 0) == 0) {
            bool ok = false;
            const std::string rest = "sector-size=" + line.substr(12);
            sectorSize = fieldValue(rest, "sector-size", ok);
            if (!ok || sectorSize == 0 || sectorSize % 512)
                throw std::runtime_error("sfdisk: bad sector size in '" + line + "'");
            continue;
        }
        const auto colon = line.find(" : ");
        if (colon == std::string::npos) continue;
        std::size_t digits = colon;
        while (digits > 0 && line[digits - 1] >= '0' && line[digits - 1] <= '9') --digits;
        int number = 0;
        const auto [end, ec] = std::from_chars(line.data() + digits, line.data() + colon, number);
        if (ec != std::errc() || end != line.data() + colon)
            throw std::runtime_error("sfdisk: no partition number in '" + line + "'");
        if (number < 1 || number > kMaxPartition)
            throw std::runtime_error("partition " + std::to_string(number) +
                                     " cannot be shown: a pseudo device has partitions 1 to 15");
        bool hasStart = false, hasSize = false;
        const std::uint64_t start = fieldValue(line, "start", hasStart);
        const std::uint64_t sectors = fieldValue(line, "size", hasSize);
        if (!hasStart || !hasSize)
            throw std::runtime_error("partition " + std::to_string(number) + ": no start and size (in sectors) in '" +
                                     line + "'");
        checkFitsInImage(number, start, sectors, sectorSize, imageBytes);
        const std::string type = fieldText(line, "type");
        const bool extended = type == "5" || type == "f" || type == "85";
        // The kernel shows an MBR extended partition as one block.
        parts.push_back({number, extended ? 1 : sectors * sectorSize / 1024});
    }
    return parts;
}

DiskLayout readLayout(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw SysError("cannot use image " + path, errno);
    if (!S_ISREG(st.st_mode)) throw std::runtime_error("image " + path + " is not a regular file");
    if (::access(path.c_str(), R_OK) != 0) throw SysError("cannot read image " + path, errno);
    DiskLayout layout;
    layout.kib = static_cast<std::uint64_t>(st.st_size) / 1024;
    const process::ProgramRun r = sfdisk({"--dump", path}, "");
    if (r.exitStatus != 0) {
        if (r.err.find("does not contain a recognized partition table") != std::string::npos) return layout;
        throw std::runtime_error("sfdisk could not read the partition table of " + path + " (status " +
                                 std::to_string(r.exitStatus) + "): " + r.err);
    }
    if (r.outTruncated)
        throw std::runtime_error("sfdisk's table of " + path + " is longer than " + std::to_string(kSfdiskOutputLimit) +
                                 " bytes");
    try {
        layout.partitions = parseSfdiskDump(r.out, static_cast<std::uint64_t>(st.st_size));
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("image " + path + ": " + e.what());
    }
    return layout;
}

} // namespace sim
