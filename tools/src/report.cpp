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

std::string formatTable(const std::vector<std::vector<std::string>>& rows,
                        const std::vector<bool>& rightAligned) {
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

// Error texts often end in a newline of the failed command's output.
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
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
        err << "mpioctl: plug-in error " << *problem.code << ": " << escaped(trimmed(*problem.text)) << '\n';
    else if (problem.code)
        err << "mpioctl: plug-in error " << *problem.code << " (no error text)\n";
    else if (problem.text)
        err << "mpioctl: plug-in error text: " << escaped(trimmed(*problem.text)) << '\n';
}

const char* argumentKey(Command command) {
    switch (command) {
    case Command::IsMpio:
    case Command::IsPartition: return "path";
    case Command::Paths:
    case Command::Partitions: return "device";
    case Command::Inventory: return nullptr;
    case Command::Delete: return "name";
    default: return nullptr;
    }
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
    return {{"name", recordName(record)},  {"partNo", record.partNo},
            {"start", record.start},       {"size", record.size},
            {"sectorSize", record.sectorSize}, {"major", record.major},
            {"minor", record.minor}};
}

Json partitionsJson(const std::optional<std::vector<TmPartInfo>>& records) {
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
            {"partitions", partitionsJson(d.partitions)},
            {"errors", std::move(problems)}};
}

// The compact text of value. Bytes that are not valid UTF-8 (paths and
// plug-in texts are bytes) become U+FFFD, so that any report gives a valid
// document.
std::string dumped(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The members that carry the command's answer, but the inventory's devices.
void addAnswer(const Report& report, Json& doc) {
    switch (report.command->id) {
    case Command::Vendor:
    case Command::Init: doc["vendor"] = report.vendor.value_or(""); break;
    case Command::Devices:
    case Command::Paths:
        doc[report.command->id == Command::Devices ? "devices" : "paths"] =
            orEmpty(report.paths);
        break;
    case Command::IsMpio: doc["mpio"] = report.answer.value_or(false); break;
    case Command::IsPartition:
        doc["partition"] = report.answer.value_or(false);
        doc["parent"] = orNull(report.parent);
        break;
    case Command::Partitions:
        doc["partitions"] = partitionsJson(orEmpty(report.partitions));
        break;
    case Command::Inventory:
    case Command::Refresh:
    case Command::Delete: break;
    }
}

std::vector<std::string> partitionCells(const TmPartInfo& r) {
    return {escaped(recordName(r)), std::to_string(r.partNo), std::to_string(r.start),
            std::to_string(r.size), std::to_string(r.sectorSize), std::to_string(r.major),
            std::to_string(r.minor)};
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

// The heading first unless left out; aligned columns or tab-separated fields.
std::string styledTable(std::vector<std::vector<std::string>> rows,
                        const std::vector<bool>& rightAligned, const TableStyle& style) {
    if (!style.headings && !rows.empty()) rows.erase(rows.begin());
    return style.raw ? rawTable(rows) : formatTable(rows, rightAligned);
}

const char* yesNo(const std::optional<bool>& answer) {
    return !answer ? "?" : *answer ? "yes" : "no";
}

// Inventory for scripts: one row per device, path and partition.
std::string inventoryRaw(const std::vector<InventoryDevice>& devices, const TableStyle& style) {
    std::vector<std::vector<std::string>> rows;
    if (style.headings)
        rows.push_back({"KIND", "DEVICE", "MPIO", "NAME", "PARTNO", "START", "SIZE", "SECTORSIZE",
                        "MAJOR", "MINOR"});
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
        for (const std::string& path : orEmpty(d.paths))
            branches.push_back("path " + escaped(path));
        for (const TmPartInfo& r : orEmpty(d.partitions))
            branches.push_back("partition " + escaped(recordName(r)) + "  partno " +
                               std::to_string(r.partNo) + "  start " + std::to_string(r.start) +
                               "  size " + std::to_string(r.size) + "  sectorsize " +
                               std::to_string(r.sectorSize) + "  " + std::to_string(r.major) +
                               ":" + std::to_string(r.minor));
        for (std::size_t i = 0; i < branches.size(); ++i)
            out += (i + 1 < branches.size() ? "|- " : "`- ") + branches[i] + '\n';
    }
    return out;
}

} // namespace

void renderText(const Report& report, std::ostream& out, std::ostream& err,
                const TableStyle& style) {
    for (const Problem& warning : report.warnings) writeProblem(err, "mpioctl: warning: ", warning);
    if (report.failure) {
        writeProblem(err, "mpioctl: ", *report.failure);
        return;
    }
    if (!report.command) return;
    const std::string arg = escaped(report.argument);
    switch (report.command->id) {
    case Command::Vendor:
    case Command::Init: out << escaped(report.vendor.value_or("")) << '\n'; break;
    case Command::Devices:
    case Command::Paths:
        for (const std::string& path : orEmpty(report.paths))
            out << escaped(path) << '\n';
        break;
    case Command::IsMpio:
        out << arg
            << (report.answer.value_or(false) ? ": a PowerPath pseudo device or a partition of one"
                                              : ": not a PowerPath pseudo device")
            << '\n';
        break;
    case Command::IsPartition:
        if (report.answer.value_or(false))
            out << arg << ": partition of " << escaped(report.parent.value_or("")) << '\n';
        else
            out << arg << ": not a partition of a PowerPath pseudo device\n";
        break;
    case Command::Partitions: {
        std::vector<std::vector<std::string>> rows{
            {"NAME", "PARTNO", "START", "SIZE", "SECTORSIZE", "MAJOR", "MINOR"}};
        for (const TmPartInfo& r : orEmpty(report.partitions))
            rows.push_back(partitionCells(r));
        out << styledTable(std::move(rows), {false, true, true, true, true, true, true}, style);
        break;
    }
    case Command::Inventory: {
        const std::vector<InventoryDevice>& devices = orEmpty(report.inventory);
        for (const InventoryDevice& d : devices)
            for (const Problem& problem : d.problems) {
                // A message that names the device needs no other mention of it.
                const bool named = (" " + problem.message + " ").find(" " + d.device + " ") != std::string::npos;
                writeProblem(err, named ? "mpioctl: " : "mpioctl: " + escaped(d.device) + ": ", problem);
            }
        out << (style.raw ? inventoryRaw(devices, style) : inventoryTree(devices));
        break;
    }
    case Command::Refresh: out << "refreshed the PowerPath configuration\n"; break;
    case Command::Delete:
        out << "deleted " << arg << "; the configuration was released and saved\n";
        break;
    }
}

void renderJson(const Report& report, std::ostream& out) {
    Json doc = Json::object();
    doc["schemaVersion"] = kJsonSchemaVersion;
    doc["command"] = report.command ? Json(report.command->name) : Json(nullptr);
    doc["plugin"] = report.plugin;
    doc["ok"] = report.exitStatus == kExitOk;
    doc["exitStatus"] = report.exitStatus;
    if (const char* key = report.command ? argumentKey(report.command->id) : nullptr)
        doc[key] = report.argument;
    if (report.failure)
        doc["error"] = problemJson(*report.failure);
    else if (report.command)
        addAnswer(report, doc);
    Json& warnings = doc["warnings"] = Json::array();
    for (const Problem& warning : report.warnings) warnings.push_back(problemJson(warning));
    // Written member by member, byte for byte as doc.dump() would, with the
    // inventory's devices before the warnings one at a time: a tree of every
    // device would take several times the memory of the report.
    const bool inventory = report.command && report.command->id == Command::Inventory && !report.failure;
    out << '{';
    const char* separator = "";
    for (const auto& [key, value] : doc.items()) {
        if (key == "warnings" && inventory) {
            out << separator << "\"devices\":[";
            const char* between = "";
            for (const InventoryDevice& d : orEmpty(report.inventory)) {
                out << between << dumped(inventoryDeviceJson(d));
                between = ",";
            }
            out << ']';
            separator = ",";
        }
        out << separator << dumped(Json(key)) << ':' << dumped(value);
        separator = ",";
    }
    out << "}\n";
}

} // namespace mpioctl
