// SPDX-License-Identifier: Apache-2.0
#include "machine/file_identity.h"

namespace sim {

FileIdentity identityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev),
            static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size),
            st.st_mtim.tv_sec,
            st.st_ctim.tv_sec,
            st.st_mtim.tv_nsec,
            st.st_ctim.tv_nsec};
}

std::optional<FileIdentity> identityOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return identityOf(st);
}

bool changedBefore(const FileIdentity& file, const struct timespec& coarseNow) {
    if (file.changedNsec == 0) return file.changedSec + 2 <= coarseNow.tv_sec;
    return file.changedSec < coarseNow.tv_sec ||
           (file.changedSec == coarseNow.tv_sec && file.changedNsec < coarseNow.tv_nsec);
}

} // namespace sim
