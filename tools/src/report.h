// SPDX-License-Identifier: Apache-2.0
// What one run of a command found out, and how it is shown: aligned text for
// people or one JSON document for scripts.
#ifndef MPIOCTL_REPORT_H
#define MPIOCTL_REPORT_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "TmMPIO_EMCPowerPath.h"
#include "cli.h"
#include "command.h"

namespace mpioctl {

// A failure, or a warning about a call that went on.
struct Problem {
    std::string entryPoint;          // the entry point concerned; empty for mpioctl's own
    std::optional<int> result;       // its result, when it returns an int
    std::optional<int> code;         // the error code, when the plug-in wrote one
    std::optional<std::string> text; // the error text, when the plug-in wrote one,
                                     // without the newlines that end it
    std::string message;             // what went wrong, in words
    bool textInMessage = false;      // the message already says what the text says
};

// One pseudo device of the inventory, as the plug-in's entry points answer
// for it; an answer is empty when its question failed (see problems).
struct InventoryDevice {
    std::string device;
    std::optional<bool> mpio;                          // isMPIODevice
    std::optional<std::vector<std::string>> paths;     // getUnderlyingDevices
    std::optional<std::vector<TmPartInfo>> partitions; // getPartitionDevices
    std::vector<Problem> problems;
};

struct Report {
    const CommandInfo* command = nullptr;
    std::string plugin;
    std::string argument; // the command's PATH or NAME
    int exitStatus = kExitOk;
    std::optional<Problem> failure;
    std::vector<Problem> warnings;

    std::optional<std::string> vendor;             // vendor, init
    std::optional<bool> answer;                    // is-mpio, is-partition
    std::optional<std::string> parent;             // is-partition: yes
    std::optional<std::vector<std::string>> paths; // devices, paths
    std::optional<std::vector<TmPartInfo>> partitions;
    std::optional<std::vector<InventoryDevice>> inventory;
};

// How tables are printed in text mode.
struct TableStyle {
    bool headings = true; // the heading line first
    bool raw = false;     // tab-separated fields instead of aligned columns
};

// Where a text renderer writes: the answer on out, the problems of a partial
// answer (the inventory's failed questions) on err.
struct TextOutput {
    std::ostream& out;
    std::ostream& err;
    bool headings; // tables with their heading line
};

// The text of one partition record's name, never read past its end.
std::string recordName(const TmPartInfo& record);

// Rows of cells as aligned columns, two blanks apart; the columns flagged in
// rightAligned are right-aligned, the others left-aligned.
std::string formatTable(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& rightAligned);

// Human mode: answers on out, by the text (or raw) renderer of the report's
// command, warnings and failures on err.
void renderText(const Report& report, std::ostream& out, std::ostream& err, const TableStyle& style = {});
// JSON mode: one document on out, failures included; the answer's members by
// the JSON renderer of the report's command.
void renderJson(const Report& report, std::ostream& out);

// The renderers of the command table (command.h).
void vendorText(const Report& report, const TextOutput& output);   // vendor, init
void pathListText(const Report& report, const TextOutput& output); // devices, paths
void isMpioText(const Report& report, const TextOutput& output);
void isPartitionText(const Report& report, const TextOutput& output);
void partitionTableText(const Report& report, const TextOutput& output);
void partitionTableRaw(const Report& report, const TextOutput& output);
void inventoryTreeText(const Report& report, const TextOutput& output);
void inventoryRawText(const Report& report, const TextOutput& output);
void refreshText(const Report& report, const TextOutput& output);
void deleteText(const Report& report, const TextOutput& output);

void vendorJson(const Report& report, JsonMembers& members); // vendor, init
void devicesJson(const Report& report, JsonMembers& members);
void pathsJson(const Report& report, JsonMembers& members);
void isMpioJson(const Report& report, JsonMembers& members);
void isPartitionJson(const Report& report, JsonMembers& members);
void partitionsJson(const Report& report, JsonMembers& members);
void inventoryJson(const Report& report, JsonMembers& members);

} // namespace mpioctl

#endif // MPIOCTL_REPORT_H
