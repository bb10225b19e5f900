#include "host/diagnosis_report.h"

#include <algorithm>
#include <cstdio>

#include <json/writer.h>

namespace {

// Text from manifests and file names may hold anything: control characters
// are shown escaped, so that no value can forge a line of the report.
std::string Printable(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string ValueText(const Json::Value& value) {
    if (value.isBool()) return value.asBool() ? "yes" : "no";
    if (value.isArray()) {
        if (value.empty()) return "(none)";
        std::string joined;
        for (const Json::Value& item : value) {
            if (!joined.empty()) joined += ", ";
            joined += ValueText(item);
        }
        return joined;
    }
    if (value.isNull()) return "-";
    if (value.isString()) return Printable(value.asString());
    return value.asString();
}

void WriteSection(std::string& out, const ReportSection& section, const std::string& indent) {
    out += indent + Printable(section.title) + "\n";
    size_t width = 0;
    for (const Fact& fact : section.facts) width = std::max(width, fact.label.size());
    const std::string factIndent = indent + "  ";
    for (const Fact& fact : section.facts) {
        if (fact.label.empty()) continue;
        // Problems are marked in the first column, where the eye (and grep)
        // finds them.
        std::string lead = factIndent;
        if (fact.problem) lead[0] = '!';
        out += lead + fact.label + ":" + std::string(width - fact.label.size() + 1, ' ') +
               (fact.shown.empty() ? ValueText(fact.value) : Printable(fact.shown)) + "\n";
    }
    for (const ReportSection& entry : section.entries) WriteSection(out, entry, factIndent);
}

Json::Value SectionAsJson(const ReportSection& section) {
    Json::Value object(Json::objectValue);
    for (const Fact& fact : section.facts) object[fact.key] = fact.value;
    if (!section.entriesKey.empty()) {
        Json::Value entries(Json::arrayValue);
        for (const ReportSection& entry : section.entries) entries.append(SectionAsJson(entry));
        object[section.entriesKey] = entries;
    }
    return object;
}

std::string VerdictText(const KeyVerdict& key) {
    if (key.usable) return "a usable key was found";
    if (!key.examined) return "no usable key found: the key was not examined";
    return "no usable key found: a command would answer " + std::to_string(key.code);
}

}  // namespace

ReportSection& ReportSection::Add(std::string factKey, std::string factLabel, Json::Value value, bool problem,
                                  std::string shown) {
    facts.push_back({std::move(factKey), std::move(factLabel), std::move(value), problem, std::move(shown)});
    return *this;
}

std::string ReportAsText(const DiagnosisReport& report) {
    std::string out = "token-host diagnosis (lines starting with ! show a problem)\n";
    for (const ReportSection& section : report.sections) {
        out += "\n";
        WriteSection(out, section, "");
    }
    out += "\nVerdict: " + VerdictText(report.key) + " (exit status " + std::to_string(report.ExitStatus()) + ")\n";
    return out;
}

std::string ReportAsJson(const DiagnosisReport& report) {
    Json::Value root(Json::objectValue);
    for (const ReportSection& section : report.sections) root[section.key] = SectionAsJson(section);
    Json::Value verdict(Json::objectValue);
    verdict["key_examined"] = report.key.examined;
    verdict["usable_key"] = report.key.usable;
    if (report.key.examined) verdict["code"] = static_cast<Json::Int64>(report.key.code);
    root["verdict"] = verdict;
    root["exit_status"] = report.ExitStatus();
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, root) + "\n";
}
