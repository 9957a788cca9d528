// SPDX-License-Identifier: Apache-2.0
// Examination of device nodes without the C library's stat, whose versioned
// symbol (stat@GLIBC_2.33) would keep the plug-in from loading on older
// distributions.
#ifndef TMMPIO_DEVICE_NODE_H
#define TMMPIO_DEVICE_NODE_H

#include <sys/stat.h>

#include "plugin/caller.h"

namespace tmmpio {

// As stat(2) of path, following symbolic links: 0 with the node's type and
// mode, device numbers, inode, owner, link count and size filled in (every
// other field zero), or -1 with errno set as stat sets it.
TMMPIO_INTERNAL int statNode(const char* path, struct stat* node);

} // namespace tmmpio

#endif // TMMPIO_DEVICE_NODE_H
