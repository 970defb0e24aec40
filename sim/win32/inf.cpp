// INF file reading; see inf.h.
#include "inf.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace sim::win32 {
namespace {

std::string Trim(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return std::string(text.substr(b, e - b));
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The logical lines: comments removed (outside quotes), continuations joined.
std::vector<std::string> LogicalLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    bool quoted = false, comment = false;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '\n';
        if (c == '\r') continue;
        if (c == '\n') {
            std::string trimmed = Trim(current);
            if (!trimmed.empty() && trimmed.back() == '\\' && !quoted) {
                trimmed.pop_back();
                current = trimmed + " ";
            } else {
                lines.push_back(trimmed);
                current.clear();
            }
            quoted = comment = false;
            continue;
        }
        if (comment) continue;
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) {
            comment = true;
            continue;
        }
        current += c;
    }
    return lines;
}

// Splits at unquoted commas; quotes go, "" inside quotes is one quote, and blanks outside
// quotes around a field go.
std::vector<std::string> Fields(std::string_view text) {
    std::vector<std::string> fields;
    std::string field;
    std::size_t keep = 0;  // length of the field up to its last quoted or non-blank character
    bool quoted = false;
    auto finish = [&] {
        fields.push_back(field.substr(0, keep));
        field.clear();
        keep = 0;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                keep = field.size();
                ++i;
            } else {
                quoted = !quoted;
                keep = field.size();
            }
            continue;
        }
        if (c == ',' && !quoted) {
            finish();
            continue;
        }
        if (!quoted && std::isspace(static_cast<unsigned char>(c))) {
            if (!field.empty()) field += c;  // leading blanks go; inner ones stay if more follows
            continue;
        }
        field += c;
        keep = field.size();
    }
    finish();
    return fields;
}

std::string Substitute(const std::string& text, const std::map<std::string, std::string>& strings) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        std::size_t end = text.find('%', i + 1);
        if (end == std::string::npos) {
            out += text.substr(i);
            break;
        }
        std::string key = text.substr(i + 1, end - i - 1);
        if (key.empty()) {
            out += '%';  // "%%" is a percent sign
        } else if (auto it = strings.find(Lower(key)); it != strings.end()) {
            out += it->second;
        } else if (std::all_of(key.begin(), key.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
            out += text.substr(i, end - i + 1);  // %12% and the like: directory ids stay
        } else {
            out += key;  // an undefined string key stands for itself
        }
        i = end;
    }
    return out;
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::optional<Inf> Inf::Parse(std::string_view text, std::string* error) {
    // Raw pass: sections and their raw lines.
    struct RawSection {
        std::string name;
        std::vector<std::string> lines;
    };
    std::vector<RawSection> raw;
    int number = 0;
    for (const std::string& line : LogicalLines(text)) {
        ++number;
        if (line.empty()) continue;
        if (line[0] == '[') {
            std::size_t close = line.find(']');
            if (close == std::string::npos) {
                if (error) *error = "line " + std::to_string(number) + ": section name not closed";
                return std::nullopt;
            }
            std::string name = Trim(line.substr(1, close - 1));
            // A section named twice is one section.
            auto it = std::find_if(raw.begin(), raw.end(), [&](auto& s) { return EqualNoCase(s.name, name); });
            if (it == raw.end()) raw.push_back({name, {}});
            else std::rotate(it, it + 1, raw.end());
            continue;
        }
        if (raw.empty()) {
            if (error) *error = "line " + std::to_string(number) + ": text before the first section";
            return std::nullopt;
        }
        raw.back().lines.push_back(line);
    }
    std::map<std::string, std::string> strings;
    for (auto& section : raw) {
        if (!EqualNoCase(section.name, "Strings")) continue;
        for (auto& line : section.lines) {
            std::size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            auto fields = Fields(line.substr(eq + 1));
            strings[Lower(Trim(line.substr(0, eq)))] = fields.empty() ? "" : fields[0];
        }
    }
    Inf inf;
    for (auto& section : raw) {
        Section out{section.name, {}};
        for (auto& line : section.lines) {
            InfLine parsed;
            std::size_t eq = std::string::npos;
            bool quoted = false;
            for (std::size_t i = 0; i < line.size(); ++i) {
                if (line[i] == '"') quoted = !quoted;
                if (line[i] == '=' && !quoted) {
                    eq = i;
                    break;
                }
            }
            std::string rest = line;
            if (eq != std::string::npos) {
                auto keyFields = Fields(line.substr(0, eq));
                parsed.key = Substitute(keyFields.empty() ? "" : keyFields[0], strings);
                rest = line.substr(eq + 1);
            }
            for (auto& field : Fields(rest)) parsed.fields.push_back(Substitute(field, strings));
            out.lines.push_back(std::move(parsed));
        }
        inf.sections_.push_back(std::move(out));
    }
    return inf;
}

bool Inf::hasSection(std::string_view name) const {
    for (auto& s : sections_)
        if (EqualNoCase(s.name, name)) return true;
    return false;
}

const std::vector<InfLine>& Inf::section(std::string_view name) const {
    static const std::vector<InfLine> kNone;
    for (auto& s : sections_)
        if (EqualNoCase(s.name, name)) return s.lines;
    return kNone;
}

std::optional<std::string> Inf::value(std::string_view section, std::string_view key) const {
    for (auto& line : this->section(section))
        if (EqualNoCase(line.key, key)) return line.fields.empty() ? std::string() : line.fields[0];
    return std::nullopt;
}

std::vector<std::string> Inf::values(std::string_view section, std::string_view key) const {
    std::vector<std::string> out;
    for (auto& line : this->section(section))
        if (EqualNoCase(line.key, key))
            for (auto& field : line.fields)
                if (!field.empty()) out.push_back(field);
    return out;
}

std::string Inf::decorated(std::string_view name, std::string_view suffix) const {
    const std::string base(name);
    for (const char* platform : {".NTamd64", ".NT", ""}) {
        std::string candidate = base + platform + std::string(suffix);
        if (hasSection(candidate)) return candidate;
    }
    return base + std::string(suffix);
}

}  // namespace sim::win32
