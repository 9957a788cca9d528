// SPDX-License-Identifier: Apache-2.0
#include "powermt/display_cache.h"

#include "machine/checked_files.h"
#include "machine/file_identity.h"
#include "machine/render.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <string_view>

#include "mpio/process.h"

namespace sim {
namespace {

// The file: one header line, one index line per configured device, then
// the blocks in index order, so that "all" is the whole of them:
//   display-cache 2 WRITERS TOPOLOGY-IDENTITY STATE-IDENTITY INDEX-BYTES BLOCK-BYTES
//   NAME OFFSET LENGTH
// where an identity is DEVICE INODE SIZE MTIME-SEC MTIME-NSEC CTIME-SEC CTIME-NSEC.
const char* const kMagic = "display-cache 2 ";
constexpr std::size_t kMaxHeader = 512;

struct Header {
    SourceStamp stamp;
    std::size_t headerBytes = 0;
    std::uint64_t indexBytes = 0;
    std::uint64_t blockBytes = 0;
};

// Reads the unsigned number at the front of text and the blank after it.
template <typename N>
bool takeNumber(std::string_view& text, N& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data() + text.size() || (*end != ' ' && *end != '\n')) return false;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()) + 1);
    return true;
}

bool takeIdentity(std::string_view& text, FileIdentity& f) {
    return takeNumber(text, f.device) && takeNumber(text, f.inode) && takeNumber(text, f.size) &&
           takeNumber(text, f.modifiedSec) && takeNumber(text, f.modifiedNsec) && takeNumber(text, f.changedSec) &&
           takeNumber(text, f.changedNsec);
}

std::string identityText(const FileIdentity& f) {
    return std::to_string(f.device) + " " + std::to_string(f.inode) + " " + std::to_string(f.size) + " " +
           std::to_string(f.modifiedSec) + " " + std::to_string(f.modifiedNsec) + " " + std::to_string(f.changedSec) +
           " " + std::to_string(f.changedNsec);
}

std::optional<Header> readHeader(int fd) {
    char buffer[kMaxHeader];
    const ssize_t got = ::pread(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(got));
    const std::size_t newline = text.find('\n');
    if (newline == std::string_view::npos || text.rfind(kMagic, 0) != 0) return std::nullopt;
    Header h;
    h.headerBytes = newline + 1;
    text = text.substr(std::string_view(kMagic).size(), h.headerBytes - std::string_view(kMagic).size());
    if (!takeNumber(text, h.stamp.writers) || !takeIdentity(text, h.stamp.topology) ||
        !takeIdentity(text, h.stamp.state) || !takeNumber(text, h.indexBytes) || !takeNumber(text, h.blockBytes) ||
        !text.empty())
        return std::nullopt;
    return h;
}

// Whether the sizes the header gives add up to the file's: a cache cut
// short or grown is not read.
bool fillsFile(int fd, const Header& h) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 0) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    return h.headerBytes <= size && h.indexBytes <= size - h.headerBytes &&
           h.blockBytes == size - h.headerBytes - h.indexBytes;
}

enum class Lookup { Found, Absent, Corrupt };

// Where device's block lies, by the index.
Lookup findInIndex(std::string_view index, const std::string& device, std::uint64_t& offset, std::size_t& length) {
    for (std::size_t from = 0; from < index.size();) {
        const std::size_t newline = index.find('\n', from);
        if (newline == std::string_view::npos) return Lookup::Corrupt;
        std::string_view line = index.substr(from, newline + 1 - from);
        from = newline + 1;
        if (line.size() <= device.size() || line.compare(0, device.size(), device) != 0 || line[device.size()] != ' ')
            continue;
        line.remove_prefix(device.size() + 1);
        return takeNumber(line, offset) && takeNumber(line, length) && line.empty() ? Lookup::Found : Lookup::Corrupt;
    }
    return Lookup::Absent;
}

} // namespace

std::optional<SourceStamp> currentStamp(const StateDir& dir, std::uint64_t writers) {
    const auto topology = identityOf(dir.topology());
    const auto state = identityOf(dir.state());
    if (!topology || !state) return std::nullopt;
    return SourceStamp{writers, *topology, *state};
}

void writeDisplayCache(const StateDir& dir, const Loaded& loaded, std::uint64_t writers) {
    if (!loaded.settled) return;
    std::string index;
    std::string blocks;
    for (const auto& d : loaded.topology.devices) {
        if (!loaded.state.configured.count(d.name)) continue;
        const std::string block = displayBlock(d);
        index += d.name + " " + std::to_string(blocks.size()) + " " + std::to_string(block.size()) + "\n";
        blocks += block;
    }
    writeFileAtomic(dir.displayCache(), kMagic + std::to_string(writers) + " " + identityText(loaded.topologyFile) +
                                            " " + identityText(loaded.stateFile) + " " + std::to_string(index.size()) +
                                            " " + std::to_string(blocks.size()) + "\n" + index + blocks);
}

std::optional<CachedDisplay> cachedDisplay(const StateDir& dir, std::uint64_t writers, const std::string& device) {
    const mpio::process::Fd fd(::open(dir.displayCache().c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    const auto header = readHeader(fd.get());
    if (!header || !fillsFile(fd.get(), *header) || currentStamp(dir, writers) != header->stamp) return std::nullopt;
    const std::uint64_t blocksAt = header->headerBytes + header->indexBytes;
    CachedDisplay answer;
    if (device == "all") {
        if (!readAt(fd.get(), answer.text, blocksAt, header->blockBytes)) return std::nullopt;
        answer.configured = true;
        return answer;
    }
    std::string index;
    if (!readAt(fd.get(), index, header->headerBytes, header->indexBytes)) return std::nullopt;
    std::uint64_t offset = 0;
    std::size_t length = 0;
    const Lookup found = device.empty() ? Lookup::Absent : findInIndex(index, device, offset, length);
    if (found == Lookup::Corrupt) return std::nullopt;
    if (found == Lookup::Absent) return answer;
    if (offset > header->blockBytes || length > header->blockBytes - offset) return std::nullopt;
    if (!readAt(fd.get(), answer.text, blocksAt + offset, length)) return std::nullopt;
    answer.configured = true;
    return answer;
}

} // namespace sim
