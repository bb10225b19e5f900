// What --diagnose reports: sections of facts, written for a person or as one
// JSON object holding the same facts.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

struct Fact {
    std::string key;    // the member name in JSON
    std::string label;  // what a person reads; empty: the fact is for programs only
    Json::Value value;  // a string, a boolean, an integer, or an array of strings
    bool problem = false;
    std::string shown;  // what a person reads instead of the value, when not empty
};

struct ReportSection {
    ReportSection(std::string sectionKey, std::string sectionTitle)
        : key(std::move(sectionKey)), title(std::move(sectionTitle)) {}

    std::string key;    // the member name in JSON
    std::string title;  // what a person reads
    std::vector<Fact> facts;
    // Things the section lists (manifests, slots...): in JSON an array under
    // entriesKey.
    std::string entriesKey;
    std::vector<ReportSection> entries;

    ReportSection& Add(std::string factKey, std::string factLabel, Json::Value value, bool problem = false,
                       std::string shown = std::string());
};

// Whether a command would find a usable key now, and the code it would get.
struct KeyVerdict {
    bool examined = false;
    bool usable = false;
    long code = 0;  // 0 when usable; else what a command would answer (-101, -102, -104...)
};

struct DiagnosisReport {
    std::vector<ReportSection> sections;
    KeyVerdict key;
    // 0 only when a usable key was found.
    int ExitStatus() const { return key.usable ? 0 : 1; }
};

// For a person: one block per section; a line showing a problem starts
// with "!".
std::string ReportAsText(const DiagnosisReport& report);
// One JSON object: a member per section, "verdict" and "exit_status".
std::string ReportAsJson(const DiagnosisReport& report);
