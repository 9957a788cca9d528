// SPDX-License-Identifier: Apache-2.0
// The caller's buffers and the plug-in's command lines by their short names,
// for the test files and fuzz targets. Free of GoogleTest.
#ifndef TESTS_SUPPORT_SHORT_NAMES_H
#define TESTS_SUPPORT_SHORT_NAMES_H

#include "caller_kit.h"
#include "pinned_commands.h"

using kit::Bytes;
using kit::ErrorOut;
using kit::PathArray;
using kit::RecordArray;
using pinned::kDiscovery;
using pinned::kPartitionListing;
using pinned::kPseudoListing;
using pinned::pathQuery;

#endif
