// SPDX-License-Identifier: Apache-2.0
#include "report.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <nlohmann/json.hpp>

#include "mpio/process.h"

namespace mpioctl {

std::string recordName(const TmPartInfo& record) {
    return std::string(record.name, strnlen(record.name, sizeof record.name));
}

std::string formatTable(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& rightAligned) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        if (widths.size() < row.size()) widths.resize(row.size(), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::size_t pad = widths[i] - row[i].size();
            const bool right = i < rightAligned.size() && rightAligned[i];
            if (i > 0) line += "  ";
            if (right) line.append(pad, ' ');
            line += row[i];
            if (!right && i + 1 < row.size()) line.append(pad, ' ');
        }
        out += line + "\n";
    }
    return out;
}

namespace {

// Names and texts from the plug-in (hence from powermt's output) or from the
// command line, as text output shows them: control characters escaped as the
// host log does, so that none reaches a terminal and a row keeps its fields.
using mpio::process::escaped;

// The list, or an empty one; never a copy.
template <typename T>
const std::vector<T>& orEmpty(const std::optional<std::vector<T>>& list) {
    static const std::vector<T> none;
    return list ? *list : none;
}

// Each line of text after prefix, escaped.
void writeLines(std::ostream& err, std::string_view prefix, std::string_view text) {
    for (std::size_t from = 0;;) {
        const std::size_t end = text.find('\n', from);
        err << prefix << escaped(text.substr(from, end - from)) << '\n';
        if (end == std::string_view::npos) break;
        from = end + 1;
    }
}

void writeProblem(std::ostream& err, std::string_view prefix, const Problem& problem) {
    writeLines(err, prefix, problem.message);
    if (problem.textInMessage) return;
    if (problem.code && problem.text)
        err << "mpioctl: plug-in error " << *problem.code << ": " << escaped(*problem.text) << '\n';
    else if (problem.code)
        err << "mpioctl: plug-in error " << *problem.code << " (no error text)\n";
    else if (problem.text)
        err << "mpioctl: plug-in error text: " << escaped(*problem.text) << '\n';
}

std::vector<std::string> partitionCells(const TmPartInfo& r) {
    return {escaped(recordName(r)),       std::to_string(r.partNo), std::to_string(r.start), std::to_string(r.size),
            std::to_string(r.sectorSize), std::to_string(r.major),  std::to_string(r.minor)};
}

// The partitions of a report as table rows, after the heading unless left out.
std::vector<std::vector<std::string>> partitionRows(const Report& report, bool headings) {
    std::vector<std::vector<std::string>> rows;
    if (headings) rows.push_back({"NAME", "PARTNO", "START", "SIZE", "SECTORSIZE", "MAJOR", "MINOR"});
    for (const TmPartInfo& r : orEmpty(report.partitions)) rows.push_back(partitionCells(r));
    return rows;
}

// Rows as tab-separated fields, one line each.
std::string rawTable(const std::vector<std::vector<std::string>>& rows) {
    std::string out;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) out += (i ? "\t" : "") + row[i];
        out += '\n';
    }
    return out;
}

const char* yesNo(const std::optional<bool>& answer) { return !answer ? "?" : *answer ? "yes" : "no"; }

// The failed questions of the inventory's devices, one line each.
void writeDeviceProblems(const std::vector<InventoryDevice>& devices, std::ostream& err) {
    for (const InventoryDevice& d : devices)
        for (const Problem& problem : d.problems) {
            // A message that names the device needs no other mention of it.
            const bool named = (" " + problem.message + " ").find(" " + d.device + " ") != std::string::npos;
            writeProblem(err, named ? "mpioctl: " : "mpioctl: " + escaped(d.device) + ": ", problem);
        }
}

// Inventory for scripts: one row per device, path and partition.
std::string inventoryRows(const std::vector<InventoryDevice>& devices, bool headings) {
    std::vector<std::vector<std::string>> rows;
    if (headings)
        rows.push_back({"KIND", "DEVICE", "MPIO", "NAME", "PARTNO", "START", "SIZE", "SECTORSIZE", "MAJOR", "MINOR"});
    for (const InventoryDevice& d : devices) {
        const std::string device = escaped(d.device);
        rows.push_back({"device", device, yesNo(d.mpio), "-", "-", "-", "-", "-", "-", "-"});
        for (const std::string& path : orEmpty(d.paths))
            rows.push_back({"path", device, "-", escaped(path), "-", "-", "-", "-", "-", "-"});
        for (const TmPartInfo& r : orEmpty(d.partitions)) {
            std::vector<std::string> row{"partition", device, "-"};
            for (std::string& cell : partitionCells(r)) row.push_back(std::move(cell));
            rows.push_back(std::move(row));
        }
    }
    return rawTable(rows);
}

// Inventory for people, a tree like multipath -ll: the device, then its
// paths, then its partitions.
std::string inventoryTree(const std::vector<InventoryDevice>& devices) {
    std::string out;
    for (const InventoryDevice& d : devices) {
        out += escaped(d.device) + "  isMPIODevice: " + yesNo(d.mpio);
        if (!d.paths) out += "  paths: unknown";
        if (!d.partitions) out += "  partitions: unknown";
        out += '\n';
        std::vector<std::string> branches;
        for (const std::string& path : orEmpty(d.paths)) branches.push_back("path " + escaped(path));
        for (const TmPartInfo& r : orEmpty(d.partitions))
            branches.push_back("partition " + escaped(recordName(r)) + "  partno " + std::to_string(r.partNo) +
                               "  start " + std::to_string(r.start) + "  size " + std::to_string(r.size) +
                               "  sectorsize " + std::to_string(r.sectorSize) + "  " + std::to_string(r.major) + ":" +
                               std::to_string(r.minor));
        for (std::size_t i = 0; i < branches.size(); ++i)
            out += (i + 1 < branches.size() ? "|- " : "`- ") + branches[i] + '\n';
    }
    return out;
}

// Members in the order written, as scripts and people read them.
using Json = nlohmann::ordered_json;

template <typename T>
Json orNull(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json problemJson(const Problem& problem) {
    return {{"entryPoint", problem.entryPoint.empty() ? Json(nullptr) : Json(problem.entryPoint)},
            {"result", orNull(problem.result)},
            {"code", orNull(problem.code)},
            {"text", orNull(problem.text)},
            {"message", problem.message}};
}

Json partitionJson(const TmPartInfo& record) {
    return {{"name", recordName(record)}, {"partNo", record.partNo},         {"start", record.start},
            {"size", record.size},        {"sectorSize", record.sectorSize}, {"major", record.major},
            {"minor", record.minor}};
}

Json partitionListJson(const std::optional<std::vector<TmPartInfo>>& records) {
    if (!records) return nullptr;
    Json list = Json::array();
    for (const TmPartInfo& r : *records) list.push_back(partitionJson(r));
    return list;
}

Json inventoryDeviceJson(const InventoryDevice& d) {
    Json problems = Json::array();
    for (const Problem& problem : d.problems) problems.push_back(problemJson(problem));
    return {{"device", d.device},
            {"mpio", orNull(d.mpio)},
            {"paths", orNull(d.paths)},
            {"partitions", partitionListJson(d.partitions)},
            {"errors", std::move(problems)}};
}

// The compact text of value. Bytes that are not valid UTF-8 (paths and
// plug-in texts are bytes) become U+FFFD, so that any report gives a valid
// document.
std::string dumped(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

} // namespace

// One JSON object written member by member, compact and byte for byte as
// dump() would write it whole: a long answer (the inventory's devices) goes
// out one element at a time, since a tree of it would take several times the
// memory of the report.
class JsonMembers {
public:
    explicit JsonMembers(std::ostream& out) : out_(out) { out_ << '{'; }

    void add(const char* key, const Json& value) {
        startMember(key);
        out_ << dumped(value);
    }

    // An array whose items become JSON one at a time, as they are written.
    template <typename Item, typename ToJson>
    void addArray(const char* key, const std::vector<Item>& items, ToJson toJson) {
        startMember(key);
        out_ << '[';
        for (std::size_t i = 0; i < items.size(); ++i) out_ << (i ? "," : "") << dumped(toJson(items[i]));
        out_ << ']';
    }

    void close() { out_ << "}\n"; }

private:
    void startMember(const char* key) {
        out_ << separator_ << dumped(Json(key)) << ':';
        separator_ = ",";
    }

    std::ostream& out_;
    const char* separator_ = "";
};

void renderText(const Report& report, std::ostream& out, std::ostream& err, const TableStyle& style) {
    for (const Problem& warning : report.warnings) writeProblem(err, "mpioctl: warning: ", warning);
    if (report.failure) {
        writeProblem(err, "mpioctl: ", *report.failure);
        return;
    }
    if (!report.command) return;
    const TextRenderer render = style.raw && report.command->raw ? report.command->raw : report.command->text;
    render(report, {out, err, style.headings});
}

void renderJson(const Report& report, std::ostream& out) {
    JsonMembers doc(out);
    doc.add("schemaVersion", kJsonSchemaVersion);
    doc.add("command", report.command ? Json(report.command->name) : Json(nullptr));
    doc.add("plugin", report.plugin);
    doc.add("ok", report.exitStatus == kExitOk);
    doc.add("exitStatus", report.exitStatus);
    if (report.command && report.command->argumentMember) doc.add(report.command->argumentMember, report.argument);
    if (report.failure)
        doc.add("error", problemJson(*report.failure));
    else if (report.command && report.command->json)
        report.command->json(report, doc);
    doc.addArray("warnings", report.warnings, problemJson);
    doc.close();
}

void vendorText(const Report& report, const TextOutput& output) {
    output.out << escaped(report.vendor.value_or("")) << '\n';
}

void pathListText(const Report& report, const TextOutput& output) {
    for (const std::string& path : orEmpty(report.paths)) output.out << escaped(path) << '\n';
}

void isMpioText(const Report& report, const TextOutput& output) {
    const char* answer = report.answer.value_or(false) ? ": a PowerPath pseudo device or a partition of one"
                                                       : ": not a PowerPath pseudo device";
    output.out << escaped(report.argument) << answer << '\n';
}

void isPartitionText(const Report& report, const TextOutput& output) {
    if (report.answer.value_or(false))
        output.out << escaped(report.argument) << ": partition of " << escaped(report.parent.value_or("")) << '\n';
    else
        output.out << escaped(report.argument) << ": not a partition of a PowerPath pseudo device\n";
}

void partitionTableText(const Report& report, const TextOutput& output) {
    output.out << formatTable(partitionRows(report, output.headings), {false, true, true, true, true, true, true});
}

void partitionTableRaw(const Report& report, const TextOutput& output) {
    output.out << rawTable(partitionRows(report, output.headings));
}

void inventoryTreeText(const Report& report, const TextOutput& output) {
    writeDeviceProblems(orEmpty(report.inventory), output.err);
    output.out << inventoryTree(orEmpty(report.inventory));
}

void inventoryRawText(const Report& report, const TextOutput& output) {
    writeDeviceProblems(orEmpty(report.inventory), output.err);
    output.out << inventoryRows(orEmpty(report.inventory), output.headings);
}

void refreshText(const Report&, const TextOutput& output) { output.out << "refreshed the PowerPath configuration\n"; }

void deleteText(const Report& report, const TextOutput& output) {
    output.out << "deleted " << escaped(report.argument) << "; the configuration was released and saved\n";
}

void vendorJson(const Report& report, JsonMembers& members) { members.add("vendor", report.vendor.value_or("")); }

void devicesJson(const Report& report, JsonMembers& members) { members.add("devices", orEmpty(report.paths)); }

void pathsJson(const Report& report, JsonMembers& members) { members.add("paths", orEmpty(report.paths)); }

void isMpioJson(const Report& report, JsonMembers& members) { members.add("mpio", report.answer.value_or(false)); }

void isPartitionJson(const Report& report, JsonMembers& members) {
    members.add("partition", report.answer.value_or(false));
    members.add("parent", orNull(report.parent));
}

void partitionsJson(const Report& report, JsonMembers& members) {
    members.addArray("partitions", orEmpty(report.partitions), partitionJson);
}

void inventoryJson(const Report& report, JsonMembers& members) {
    members.addArray("devices", orEmpty(report.inventory), inventoryDeviceJson);
}

} // namespace mpioctl
