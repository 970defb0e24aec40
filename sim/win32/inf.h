// A reader for INF files in the standard syntax: sections, "key = fields"
// lines, quoted fields, ';' comments, '\' line continuation and %strkey%
// substitution from [Strings]. Section and key names compare without regard
// to case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::win32 {

struct InfLine {
    std::string key;                  // empty for lines without '='
    std::vector<std::string> fields;  // substituted and unquoted
};

class Inf {
public:
    // The INF's text; nullopt (and `error`) when a line lies outside any section or a
    // section header is not closed.
    static std::optional<Inf> Parse(std::string_view text, std::string* error = nullptr);

    bool hasSection(std::string_view name) const;
    const std::vector<InfLine>& section(std::string_view name) const;  // empty when absent
    // The first field of the first line with this key in the section.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    // Every field of every line with this key (comma-separated directive lists).
    std::vector<std::string> values(std::string_view section, std::string_view key) const;
    // The section for this platform: name.NTamd64, else name.NT, else name (first present).
    std::string decorated(std::string_view name, std::string_view suffix = {}) const;

private:
    struct Section {
        std::string name;
        std::vector<InfLine> lines;
    };
    std::vector<Section> sections_;
};

bool EqualNoCase(std::string_view a, std::string_view b);

}  // namespace sim::win32
