// SPDX-License-Identifier: Apache-2.0
#include "report.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include <nlohmann/json.hpp>

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

// Error texts often end in a newline of the failed command's output.
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

void writeLines(std::ostream& err, std::string_view prefix, std::string_view text) {
    for (std::size_t from = 0;;) {
        const std::size_t end = text.find('\n', from);
        err << prefix << text.substr(from, end - from) << '\n';
        if (end == std::string_view::npos) break;
        from = end + 1;
    }
}

void writeProblem(std::ostream& err, std::string_view prefix, const Problem& problem) {
    writeLines(err, prefix, problem.message);
    if (problem.textInMessage) return;
    if (problem.code && problem.text)
        err << "mpioctl: plug-in error " << *problem.code << ": " << trimmed(*problem.text) << '\n';
    else if (problem.code)
        err << "mpioctl: plug-in error " << *problem.code << " (no error text)\n";
    else if (problem.text)
        err << "mpioctl: plug-in error text: " << trimmed(*problem.text) << '\n';
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

Json inventoryJson(const std::vector<InventoryDevice>& devices) {
    Json list = Json::array();
    for (const InventoryDevice& d : devices) {
        Json problems = Json::array();
        for (const Problem& problem : d.problems) problems.push_back(problemJson(problem));
        list.push_back({{"device", d.device},
                        {"mpio", orNull(d.mpio)},
                        {"paths", orNull(d.paths)},
                        {"partitions", partitionsJson(d.partitions)},
                        {"errors", std::move(problems)}});
    }
    return list;
}

// The members that carry the command's answer.
void addAnswer(const Report& report, Json& doc) {
    switch (report.command->id) {
    case Command::Vendor:
    case Command::Init: doc["vendor"] = report.vendor.value_or(""); break;
    case Command::Devices:
    case Command::Paths:
        doc[report.command->id == Command::Devices ? "devices" : "paths"] =
            report.paths.value_or(std::vector<std::string>{});
        break;
    case Command::IsMpio: doc["mpio"] = report.answer.value_or(false); break;
    case Command::IsPartition:
        doc["partition"] = report.answer.value_or(false);
        doc["parent"] = orNull(report.parent);
        break;
    case Command::Partitions:
        doc["partitions"] = partitionsJson(report.partitions.value_or(std::vector<TmPartInfo>{}));
        break;
    case Command::Inventory:
        doc["devices"] = inventoryJson(report.inventory.value_or(std::vector<InventoryDevice>{}));
        break;
    case Command::Refresh:
    case Command::Delete: break;
    }
}

std::vector<std::string> partitionCells(const TmPartInfo& r) {
    return {recordName(r),          std::to_string(r.partNo), std::to_string(r.start),
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
        rows.push_back({"device", d.device, yesNo(d.mpio), "-", "-", "-", "-", "-", "-", "-"});
        for (const std::string& path : d.paths.value_or(std::vector<std::string>{}))
            rows.push_back({"path", d.device, "-", path, "-", "-", "-", "-", "-", "-"});
        for (const TmPartInfo& r : d.partitions.value_or(std::vector<TmPartInfo>{})) {
            std::vector<std::string> row{"partition", d.device, "-"};
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
        out += d.device + "  isMPIODevice: " + yesNo(d.mpio);
        if (!d.paths) out += "  paths: unknown";
        if (!d.partitions) out += "  partitions: unknown";
        out += '\n';
        std::vector<std::string> branches;
        for (const std::string& path : d.paths.value_or(std::vector<std::string>{}))
            branches.push_back("path " + path);
        for (const TmPartInfo& r : d.partitions.value_or(std::vector<TmPartInfo>{}))
            branches.push_back("partition " + recordName(r) + "  partno " +
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
    const std::string& arg = report.argument;
    switch (report.command->id) {
    case Command::Vendor:
    case Command::Init: out << report.vendor.value_or("") << '\n'; break;
    case Command::Devices:
    case Command::Paths:
        for (const std::string& path : report.paths.value_or(std::vector<std::string>{}))
            out << path << '\n';
        break;
    case Command::IsMpio:
        out << arg
            << (report.answer.value_or(false) ? ": a PowerPath pseudo device or a partition of one"
                                              : ": not a PowerPath pseudo device")
            << '\n';
        break;
    case Command::IsPartition:
        if (report.answer.value_or(false))
            out << arg << ": partition of " << report.parent.value_or("") << '\n';
        else
            out << arg << ": not a partition of a PowerPath pseudo device\n";
        break;
    case Command::Partitions: {
        std::vector<std::vector<std::string>> rows{
            {"NAME", "PARTNO", "START", "SIZE", "SECTORSIZE", "MAJOR", "MINOR"}};
        for (const TmPartInfo& r : report.partitions.value_or(std::vector<TmPartInfo>{}))
            rows.push_back(partitionCells(r));
        out << styledTable(std::move(rows), {false, true, true, true, true, true, true}, style);
        break;
    }
    case Command::Inventory: {
        const auto devices = report.inventory.value_or(std::vector<InventoryDevice>{});
        for (const InventoryDevice& d : devices)
            for (const Problem& problem : d.problems) {
                // A message that names the device needs no other mention of it.
                const bool named = (" " + problem.message + " ").find(" " + d.device + " ") != std::string::npos;
                writeProblem(err, named ? "mpioctl: " : "mpioctl: " + d.device + ": ", problem);
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
    doc["ok"] = !report.failure;
    doc["exitStatus"] = report.exitStatus;
    if (const char* key = report.command ? argumentKey(report.command->id) : nullptr)
        doc[key] = report.argument;
    if (report.failure)
        doc["error"] = problemJson(*report.failure);
    else if (report.command)
        addAnswer(report, doc);
    Json& warnings = doc["warnings"] = Json::array();
    for (const Problem& warning : report.warnings) warnings.push_back(problemJson(warning));
    // Bytes that are not valid UTF-8 (paths and plug-in texts are bytes)
    // become U+FFFD, so that any report gives a valid document.
    out << doc.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

} // namespace mpioctl
