// SPDX-License-Identifier: Apache-2.0
#include "mpio/tree_removal.h"

#include "mpio/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace mpio::tree {
namespace {

// mountinfo writes blanks, tabs, newlines and backslashes of paths as \ooo.
std::string decodeMountinfoPath(std::string_view field) {
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto isOctal = [&](std::size_t k) { return k < field.size() && field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3)) {
            path.push_back(
                static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
            i += 3;
        } else {
            path.push_back(field[i]);
        }
    }
    return path;
}

// The fifth field of a mountinfo line: the mount point.
std::string_view mountPointField(std::string_view line) {
    std::size_t start = 0;
    for (int field = 0; field < 4; ++field) {
        start = line.find(' ', start);
        if (start == std::string_view::npos) return {};
        ++start;
    }
    const std::size_t end = line.find(' ', start);
    return line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

bool isAtOrBelow(const std::string& path, const std::string& dir) {
    return path == dir ||
           (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/');
}

std::string canonicalOrAsGiven(const std::string& dir) {
    char resolved[PATH_MAX];
    return ::realpath(dir.c_str(), resolved) ? std::string(resolved) : dir;
}

std::string readMountinfo() {
    std::ifstream in("/proc/self/mountinfo");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The device and mount a removal stays on.
struct Home {
    unsigned devMajor = 0, devMinor = 0;
    bool knowsMount = false;
    std::uint64_t mountId = 0;
};

bool statEntry(int dirFd, const char* name, struct statx& st) {
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
    return ::statx(dirFd, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID, &st) == 0;
}

bool isMountRoot(const struct statx& st) {
    return (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (st.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// Whether an entry lies on another mount than the tree. The device number is
// compared for directories only: overlayfs reports the underlying file
// system's for other files.
bool onAnotherMount(const struct statx& st, const Home& home) {
    if (isMountRoot(st)) return true;
    if (home.knowsMount && (st.stx_mask & STATX_MNT_ID) && st.stx_mnt_id != home.mountId) return true;
    return S_ISDIR(st.stx_mode) && (st.stx_dev_major != home.devMajor || st.stx_dev_minor != home.devMinor);
}

bool sameDirectory(const struct statx& a, const struct statx& b) {
    return a.stx_ino == b.stx_ino && a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor &&
           ((a.stx_mask & b.stx_mask & STATX_MNT_ID) == 0 || a.stx_mnt_id == b.stx_mnt_id);
}

// Removes a tree depth first without recursion and with one directory open
// at a time, so that neither the stack nor the descriptors limit its depth:
// a directory's names are listed once, on the way down, and the way back up
// goes through "..", which must be the very directory that was left.
class Remover {
public:
    explicit Remover(const Home& home) : home_(home) {}

    void removeContents(mpio::process::Fd top, const struct statx& topStat, const std::string& dir) {
        mpio::process::Fd fd = std::move(top);
        std::string shown = dir;
        std::vector<Level> levels;
        levels.push_back({entriesOf(fd.get(), shown), 0, topStat, shown.size()});
        while (!levels.empty()) {
            Level& level = levels.back();
            if (level.next < level.names.size()) {
                const std::string& name = level.names[level.next++];
                shown.resize(level.shownLength);
                shown += "/" + name;
                struct statx st {};
                mpio::process::Fd child = removeOrOpen(fd.get(), name, shown, st);
                if (!child) continue;
                fd = std::move(child);
                std::vector<std::string> names = entriesOf(fd.get(), shown);
                levels.push_back({std::move(names), 0, st, shown.size()});
                continue;
            }
            if (levels.size() == 1) return;
            const std::size_t childLength = level.shownLength;
            levels.pop_back();
            Level& parent = levels.back();
            shown.resize(childLength);
            if (!climb(fd, parent.identity)) {
                shown.resize(parent.shownLength);
                return leave(shown, "moved while being removed; the rest is left");
            }
            removeDirectory(fd.get(), parent.names[parent.next - 1], shown);
        }
    }

    void leave(const std::string& path, const std::string& why) {
        if (++left_ <= kShown) problems_ += (problems_.empty() ? "" : "; ") + path + ": " + why;
    }

    std::string report() const {
        if (left_ <= kShown) return problems_;
        return problems_ + "; and " + std::to_string(left_ - kShown) + " more";
    }

private:
    static constexpr int kShown = 3;

    // A directory on the way down.
    struct Level {
        std::vector<std::string> names; // listed when it was entered
        std::size_t next = 0;           // the next name to remove
        struct statx identity;          // to know it again on the way up
        std::size_t shownLength = 0;    // its path is the shown path's first bytes
    };

    std::vector<std::string> entriesOf(int dirFd, const std::string& shown) {
        std::vector<std::string> names;
        const int listFd = ::dup(dirFd);
        DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
        if (!dir) {
            if (listFd >= 0) ::close(listFd);
            leave(shown, std::string("cannot list: ") + std::strerror(errno));
            return names;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        return names;
    }

    // Unlinks an entry that is no directory; opens a directory of the tree's
    // mount to be entered. What lies on another mount is left.
    mpio::process::Fd removeOrOpen(int dirFd, const std::string& name, const std::string& shown, struct statx& st) {
        if (!statEntry(dirFd, name.c_str(), st)) {
            if (errno != ENOENT) leave(shown, std::string("cannot examine: ") + std::strerror(errno));
            return {};
        }
        if (onAnotherMount(st, home_)) {
            leave(shown, "a mount point, not entered");
            return {};
        }
        if (!S_ISDIR(st.stx_mode)) {
            if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
                leave(shown, std::string("cannot remove: ") + std::strerror(errno));
            return {};
        }
        mpio::process::Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            leave(shown, std::string("cannot open: ") + std::strerror(errno));
            return {};
        }
        // Something may have been mounted there since it was examined.
        struct statx opened {};
        if (!statEntry(fd.get(), "", opened) || opened.stx_ino != st.stx_ino || onAnotherMount(opened, home_)) {
            leave(shown, "changed while being removed, not entered");
            return {};
        }
        st = opened;
        return fd;
    }

    // Moves fd from a directory to its parent, which must be `parent`.
    static bool climb(mpio::process::Fd& fd, const struct statx& parent) {
        mpio::process::Fd up(::openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct statx st {};
        if (!up || !statEntry(up.get(), "", st) || !sameDirectory(st, parent)) return false;
        fd = std::move(up);
        return true;
    }

    void removeDirectory(int parentFd, const std::string& name, const std::string& shown) {
        // ENOTEMPTY: what was left inside is reported already.
        if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOTEMPTY && errno != ENOENT)
            leave(shown, std::string("cannot remove: ") + std::strerror(errno));
    }

    Home home_;
    std::string problems_;
    int left_ = 0;
};

} // namespace

std::vector<std::string> mountPointsAtOrBelow(std::string_view mountinfo, const std::string& dir) {
    std::vector<std::string> points;
    std::size_t pos = 0;
    while (pos < mountinfo.size()) {
        const std::size_t nl = mountinfo.find('\n', pos);
        const std::string_view line =
            mountinfo.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        const std::string point = decodeMountinfoPath(mountPointField(line));
        if (!point.empty() && isAtOrBelow(point, dir)) points.push_back(point);
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    // mountinfo lists parents before children; a stable sort by depth keeps
    // mounts stacked on one point in order, and the last is on top.
    std::stable_sort(points.begin(), points.end(), [](const std::string& a, const std::string& b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    return points;
}

void detachMountsAtOrBelow(const std::string& dir) noexcept {
    try {
        const std::string root = canonicalOrAsGiven(dir);
        // A few rounds, for mounts made meanwhile; a round that detaches
        // nothing ends it.
        for (int round = 0; round < 4; ++round) {
            const std::vector<std::string> points = mountPointsAtOrBelow(readMountinfo(), root);
            if (points.empty()) return;
            bool detached = false;
            for (const std::string& point : points)
                detached |= ::umount2(point.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0;
            if (!detached) return;
        }
    } catch (...) {
        // Out of memory: the removal still refuses to cross a mount.
    }
}

std::string removeTreeWithinItsMount(const std::string& dir) noexcept {
    try {
        mpio::process::Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            if (errno == ENOENT) return {};
            if ((errno == ENOTDIR || errno == ELOOP) && ::unlink(dir.c_str()) == 0) return {};
            return dir + ": cannot open: " + std::strerror(errno);
        }
        struct statx st {};
        if (!statEntry(fd.get(), "", st)) return dir + ": cannot examine: " + std::strerror(errno);
        if (isMountRoot(st)) return dir + ": a mount point, not entered";
        Home home;
        home.devMajor = st.stx_dev_major;
        home.devMinor = st.stx_dev_minor;
        home.knowsMount = (st.stx_mask & STATX_MNT_ID) != 0;
        home.mountId = st.stx_mnt_id;
        Remover remover(home);
        remover.removeContents(std::move(fd), st, dir);
        std::string report = remover.report();
        if (report.empty() && ::rmdir(dir.c_str()) != 0 && errno != ENOENT)
            report = dir + ": cannot remove: " + std::strerror(errno);
        return report;
    } catch (...) {
        return dir + ": out of memory while removing it";
    }
}

std::string removeTemporaryTree(const std::string& dir) noexcept {
    detachMountsAtOrBelow(dir);
    return removeTreeWithinItsMount(dir);
}

} // namespace mpio::tree
