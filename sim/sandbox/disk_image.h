// SPDX-License-Identifier: Apache-2.0
// Disk images of disk-backed pseudo devices: created with a partition table
// written by sfdisk, and read back as /proc/partitions would show them.
#ifndef SIM_SANDBOX_DISK_IMAGE_H
#define SIM_SANDBOX_DISK_IMAGE_H

#include "machine/state_file.h"
#include "machine/topology.h"

#include <string>

namespace sim {

// Creates `path` (which must not exist) as a sparse file of the image's size
// and writes its partition table into it.
void createImage(const DiskImage& image, const std::string& path);

// The sfdisk input that writes the image's table.
std::string sfdiskScript(const DiskImage& image);

// Reads the partition table of an image file; an image without a table has
// no partitions. Throws, naming the image and the partition, for a partition
// number above 15 or a partition that does not lie within the image.
DiskLayout readLayout(const std::string& path);

// Parses the output of `sfdisk --dump` of an image of `imageBytes` bytes;
// throws naming the partition when one does not lie within the image.
std::vector<Partition> parseSfdiskDump(const std::string& dump, std::uint64_t imageBytes);

} // namespace sim

#endif
