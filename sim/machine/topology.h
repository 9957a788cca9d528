// SPDX-License-Identifier: Apache-2.0
// The topology of a simulated PowerPath machine: its pseudo devices, their
// arrays, paths, partitions and disk images, read from a line-oriented text
// (format in sim/README.md).
#ifndef SIM_MACHINE_TOPOLOGY_H
#define SIM_MACHINE_TOPOLOGY_H

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Their enumerators are numbered from 0, in the order of their words in
// the format below.
enum class ArrayKind { Symmetrix, Clariion, Vnx };
enum class PathMode { Active, Standby, Unlic };
enum class PathState { Alive, Dead };

inline constexpr const char* kArrayKindWords[] = {"symmetrix", "clariion", "vnx"};
inline constexpr const char* kPathModeWords[] = {"active", "standby", "unlic"};
inline constexpr const char* kPathStateWords[] = {"alive", "dead"};

// A device has partitions 1 to 15: 16 minors of its major, the first for
// the whole device.
inline constexpr int kMaxPartition = 15;

// Names of pseudo devices (the configured ones, say).
using NameSet = std::set<std::string>;

struct Path {
    std::string sd;         // sdb
    unsigned long disk = 0; // sd disk index (sdb -> 1)
    std::string driver;     // qla2xxx
    std::string port;       // "FA  7eA"
    PathMode mode = PathMode::Active;
    PathState state = PathState::Alive;
    long hba = -1; // number in the ### column; -1: the path's position
    std::uint64_t queued = 0;
    std::uint64_t errors = 0;
    int line = 0;
};

// A partition as /proc/partitions shows it.
struct Partition {
    int number = 0;        // 1..15
    std::uint64_t kib = 0; // 1 KiB blocks (1 for an MBR extended partition)
};

// A partition of a disk image the sandbox creates.
struct ImagePart {
    int number = 0;
    std::uint64_t bytes = 0; // 0: the rest of the disk (or of the extended partition)
    bool extended = false;
};

struct DiskImage {
    enum class Kind { None, Create, File };
    Kind kind = Kind::None;
    std::uint64_t bytes = 0;      // Create: size of the image
    std::string label;            // Create: "dos" or "gpt"
    std::vector<ImagePart> parts; // Create
    std::string file;             // File: absolute path of an existing image
    int line = 0;
};

struct Device {
    std::string name;        // emcpowera
    unsigned long index = 0; // 0 for emcpowera
    ArrayKind kind = ArrayKind::Symmetrix;
    std::string arrayId;
    std::string group; // CLARiiON / VNX storage group
    std::string ldev;  // logical device id
    long lun = -1;     // CLARiiON / VNX
    char owner = 'A';  // CLARiiON / VNX: default owner SP
    char currentOwner = 'A';
    std::uint64_t kib = 0;             // size in 1 KiB blocks
    std::vector<Partition> partitions; // sorted by number
    std::vector<Path> paths;
    bool configured = true; // false: present, but only `powermt config` adds it
    DiskImage image;
    int line = 0;
};

// A sub-command made to fail: `fail save 2 "message"`.
struct Failure {
    std::string command;
    int status = 1;
    std::string message;
};

struct Topology {
    int adminMajor = 120;        // the major on the power2 line and of the pseudo nodes
    std::vector<Device> devices; // sorted by index
    std::vector<Failure> failures;

    bool diskBacked() const;
    const Device* find(std::string_view name) const; // a scan: for single look-ups
    const Failure* failureFor(std::string_view command) const;
};

class TopologyError : public std::runtime_error {
public:
    TopologyError(const std::string& source, int line, const std::string& message);
    int line() const { return line_; }

private:
    int line_;
};

// What a machine may cost. Every powermt run reads and parses the whole
// topology, and the sandbox makes a node in /dev for every disk, pseudo
// device and partition and a link for every pseudo device and partition:
// these bound the memory and time of both and the size of /dev. The
// devices are bounded by their names (kPseudoLimit, 65,536).
inline constexpr std::uint64_t kMaxTopologyBytes = 32 * 1024 * 1024;
inline constexpr std::uint64_t kMaxTopologyPaths = 262144;  // 4 a device at the most devices
inline constexpr std::uint64_t kMaxTopologyNodes = 1048576; // device nodes and by-id links

// The entries in /dev of a device with `paths` paths and `partitions`
// partitions: a node for each path and for the device, and a by-id link
// for the device, each with one of each partition.
constexpr std::uint64_t devNodesOf(std::uint64_t paths, std::uint64_t partitions) {
    return (paths + 2) * (partitions + 1);
}

struct MachineCost {
    std::uint64_t bytes = 0; // of the topology text
    std::uint64_t paths = 0;
    std::uint64_t nodes = 0; // devNodesOf summed over the devices
};

// The first limit that `cost` passes, said with the limit; empty when it
// passes none.
std::string limitPassed(const MachineCost& cost);

// Parses a topology text. `source` names it in error messages
// ("file:line: message"); relative image file names are taken relative to
// `baseDir`. Throws TopologyError for the first fault found, a limit
// above passed included.
Topology parseTopology(std::string_view text, const std::string& source, const std::string& baseDir = ".");

// Sizes: a number with an optional binary suffix K, M, G or T (KiB, MiB...);
// without a suffix a number of 1 KiB blocks. Returns bytes; throws
// std::invalid_argument on a bad size.
std::uint64_t parseSize(std::string_view text);

const char* arrayKindName(ArrayKind kind);  // as powermt shows it: "Symmetrix", "CLARiiON", "VNX"
const char* pathModeName(PathMode mode);    // its word: "active", ...
const char* pathStateName(PathState state); // its word: "alive", "dead"

// The sub-commands of powermt that a `fail` line may name.
bool isFailableCommand(std::string_view command);

} // namespace sim

#endif
