// Message compiler input reader and table/header writers (see mcfile.h).
#include "mcfile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

namespace vkmc {
namespace {

std::u16string Utf16(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        char32_t cp = b;
        std::size_t extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 9;
        if (extra == 9 || (extra && i + extra >= text.size())) {
            // Not UTF-8: take the byte as a Latin-1 character, as a code page would.
            out.push_back(b);
            ++i;
            continue;
        }
        cp = extra ? (b & (0x3F >> extra)) : b;
        bool ok = true;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!ok) {
            out.push_back(b);
            ++i;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool ParseNumber(std::string_view s, std::uint32_t* out) {
    if (s.empty()) return false;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    std::uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        v = v * base + d;
        if (v > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<std::uint32_t>(v);
    return true;
}

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdent(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

const char* const kKeywords[] = {"MessageIdTypedef", "SeverityNames", "FacilityNames", "LanguageNames",
                                 "OutputBase",       "MessageId",     "Severity",      "Facility",
                                 "SymbolicName",     "Language"};

bool IsKeyword(std::string_view word) {
    for (auto* k : kKeywords)
        if (EqualNoCase(word, k)) return true;
    return false;
}

class Parser {
public:
    Parser(std::string_view text, const Options& options) : options_(options) {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t nl = text.find('\n', start);
            std::string_view line = text.substr(start, nl == std::string_view::npos ? text.npos : nl - start);
            bool crlf = !line.empty() && line.back() == '\r';
            if (crlf) line.remove_suffix(1);
            lines_.emplace_back(line);
            crlf_.push_back(crlf);
            if (nl == std::string_view::npos) break;
            start = nl + 1;
        }
        file_.severities = {{"Success", 0, ""}, {"Informational", 1, ""}, {"Warning", 2, ""}, {"Error", 3, ""}};
        file_.facilities = {{"System", 0x0FF, ""}, {"Application", 0xFFF, ""}};
    }

    std::optional<McFile> Run(std::string* error) {
        for (lineNo_ = 0; lineNo_ < lines_.size() && error_.empty(); ++lineNo_) ParseLine();
        if (error_.empty() && inText_) Fail("message text not ended by a line holding a single '.'");
        if (error_.empty()) FinishMessage();
        if (error_.empty() && file_.languages.empty()) file_.languages.push_back({"English", 0x409, "MSG00001"});
        if (!error_.empty()) {
            if (error) *error = error_;
            return std::nullopt;
        }
        return std::move(file_);
    }

private:
    void Fail(const std::string& what) {
        if (error_.empty()) error_ = "line " + std::to_string(errorLine_ ? errorLine_ : lineNo_ + 1) + ": " + what;
    }

    void ParseLine() {
        const std::string& line = lines_[lineNo_];
        if (inText_) {
            std::string_view trimmed = line;
            while (!trimmed.empty() && IsSpace(trimmed.back())) trimmed.remove_suffix(1);
            if (trimmed == ".") {
                inText_ = false;
                return;
            }
            // Each line keeps the file's own line break, as windmc does: a file
            // with CRLF line ends gives "\r\n" texts, a file with LF ends "\n".
            current_->texts[textLanguage_] += Utf16(line) + (crlf_[lineNo_] ? u"\r\n" : u"\n");
            return;
        }
        std::size_t i = 0;
        while (i < line.size() && IsSpace(line[i])) ++i;
        if (i < line.size() && line[i] == ';') {
            file_.header.push_back({false, line.substr(i + 1), 0});
            return;
        }
        while (error_.empty()) {
            // A list may have moved on to a later line: always read the current one.
            const std::string& cur = lines_[lineNo_];
            while (i < cur.size() && IsSpace(cur[i])) ++i;
            if (i >= cur.size()) return;
            if (!IsIdentStart(cur[i])) return Fail("unexpected text \"" + cur.substr(i) + "\"");
            std::size_t k = i;
            while (k < cur.size() && IsIdent(cur[k])) ++k;
            std::string keyword = cur.substr(i, k - i);
            while (k < cur.size() && IsSpace(cur[k])) ++k;
            if (k >= cur.size() || cur[k] != '=') return Fail("expected '=' after " + keyword);
            ++k;
            while (k < cur.size() && IsSpace(cur[k])) ++k;
            i = k;
            if (EqualNoCase(keyword, "SeverityNames") || EqualNoCase(keyword, "FacilityNames") ||
                EqualNoCase(keyword, "LanguageNames")) {
                std::string list;
                if (!ReadList(&i, &list)) return;
                ApplyList(keyword, list);
                continue;
            }
            std::string value = ReadValue(cur, &i);
            if (EqualNoCase(keyword, "Language")) {
                StartText(value);
                return;  // text begins on the next line
            }
            ApplyKeyword(keyword, value);
        }
    }

    // A token, or nothing when the next token is the following keyword.
    std::string ReadValue(const std::string& line, std::size_t* i) {
        std::size_t k = *i;
        while (k < line.size() && !IsSpace(line[k])) ++k;
        std::string token = line.substr(*i, k - *i);
        std::size_t eq = token.find('=');
        if (eq != std::string::npos && IsKeyword(token.substr(0, eq))) return {};
        std::size_t after = k;
        while (after < line.size() && IsSpace(line[after])) ++after;
        if (after < line.size() && line[after] == '=' && IsKeyword(token)) return {};
        *i = k;
        return token;
    }

    // "( ... )", possibly over several lines; leaves lineNo_ on the line of ')'.
    bool ReadList(std::size_t* i, std::string* list) {
        std::string_view line = lines_[lineNo_];
        if (*i >= line.size() || line[*i] != '(') {
            Fail("expected '(' to start a list");
            return false;
        }
        std::size_t pos = *i + 1;
        errorLine_ = lineNo_ + 1;
        for (;;) {
            line = lines_[lineNo_];
            std::size_t close = line.find(')', pos);
            if (close != std::string_view::npos) {
                *list += std::string(line.substr(pos, close - pos));
                *i = close + 1;
                errorLine_ = 0;
                return true;
            }
            *list += std::string(line.substr(pos)) + " ";
            pos = 0;
            if (++lineNo_ >= lines_.size()) {
                Fail("list not closed by ')'");
                return false;
            }
        }
    }

    void ApplyList(const std::string& keyword, const std::string& list) {
        std::size_t i = 0;
        while (error_.empty()) {
            while (i < list.size() && (IsSpace(list[i]) || list[i] == ' ')) ++i;
            if (i >= list.size()) return;
            std::size_t k = i;
            while (k < list.size() && !IsSpace(list[k])) ++k;
            std::string item = list.substr(i, k - i);
            i = k;
            std::size_t eq = item.find('=');
            if (eq == std::string::npos || eq == 0) return Fail("list item \"" + item + "\" is not name=value");
            std::string name = item.substr(0, eq), rest = item.substr(eq + 1), extra;
            std::size_t colon = rest.find(':');
            if (colon != std::string::npos) {
                extra = rest.substr(colon + 1);
                rest = rest.substr(0, colon);
            }
            std::uint32_t value;
            if (!ParseNumber(rest, &value)) return Fail("list item \"" + item + "\" has no number");
            if (EqualNoCase(keyword, "LanguageNames")) {
                if (value > 0xFFFF) return Fail("language id out of range in \"" + item + "\"");
                auto it = std::find_if(file_.languages.begin(), file_.languages.end(),
                                       [&](const Language& l) { return EqualNoCase(l.name, name); });
                Language l{name, static_cast<std::uint16_t>(value), extra};
                if (it != file_.languages.end()) *it = l;
                else file_.languages.push_back(l);
            } else {
                bool severity = EqualNoCase(keyword, "SeverityNames");
                if (value > (severity ? 3u : 0xFFFu)) return Fail("value out of range in \"" + item + "\"");
                auto& set = severity ? file_.severities : file_.facilities;
                auto it = std::find_if(set.begin(), set.end(), [&](const NamedValue& v) { return EqualNoCase(v.name, name); });
                NamedValue v{name, value, extra};
                if (it != set.end()) *it = v;
                else set.push_back(v);
            }
        }
    }

    void ApplyKeyword(const std::string& keyword, const std::string& value) {
        if (EqualNoCase(keyword, "MessageIdTypedef")) {
            file_.idTypedef = value;
        } else if (EqualNoCase(keyword, "OutputBase")) {
            // Only affects how windmc prints ids in the header; ids are printed in hex here.
        } else if (EqualNoCase(keyword, "MessageId")) {
            FinishMessage();
            current_ = Pending{};
            current_->idSpec = value;
            current_->line = static_cast<int>(lineNo_ + 1);
        } else if (!current_) {
            Fail(keyword + " before the first MessageId");
        } else if (EqualNoCase(keyword, "Severity")) {
            current_->severity = value;
        } else if (EqualNoCase(keyword, "Facility")) {
            current_->facility = value;
        } else if (EqualNoCase(keyword, "SymbolicName")) {
            current_->symbol = value;
        } else {
            Fail("unknown keyword " + keyword);
        }
    }

    void StartText(const std::string& languageName) {
        if (!current_) return Fail("Language before the first MessageId");
        if (file_.languages.empty()) file_.languages.push_back({"English", 0x409, "MSG00001"});
        auto it = std::find_if(file_.languages.begin(), file_.languages.end(),
                               [&](const Language& l) { return EqualNoCase(l.name, languageName); });
        if (it == file_.languages.end()) return Fail("language " + languageName + " is not in LanguageNames");
        textLanguage_ = it->id;
        if (current_->texts.count(textLanguage_)) return Fail("second text for language " + languageName);
        current_->texts[textLanguage_];
        inText_ = true;
    }

    void FinishMessage() {
        if (!current_) return;
        Pending p = std::move(*current_);
        current_.reset();
        errorLine_ = static_cast<std::size_t>(p.line);
        std::uint32_t code;
        if (p.idSpec.empty()) {
            code = previousCode_ + 1;
        } else if (p.idSpec[0] == '+') {
            std::uint32_t step;
            if (!ParseNumber(p.idSpec.substr(1), &step)) return Fail("bad MessageId " + p.idSpec);
            code = previousCode_ + step;
        } else if (!ParseNumber(p.idSpec, &code)) {
            return Fail("bad MessageId " + p.idSpec);
        }
        if (code > 0xFFFF) return Fail("MessageId " + p.idSpec + " does not fit in 16 bits");
        // windmc does not carry severity and facility over from the previous message.
        std::uint32_t severity = 0, facility = 0;
        if (!p.severity.empty() && !Lookup(file_.severities, p.severity, "severity", &severity)) return;
        if (!p.facility.empty() && !Lookup(file_.facilities, p.facility, "facility", &facility)) return;
        if (p.texts.empty()) return Fail("message " + p.idSpec + " has no text");
        Message m;
        m.id = (severity << 30) | (options_.customerBit ? 1u << 29 : 0u) | (facility << 16) | code;
        m.symbol = p.symbol;
        m.texts = std::move(p.texts);
        m.line = p.line;
        for (auto& other : file_.messages)
            if (other.id == m.id) return Fail("message id repeats the one of line " + std::to_string(other.line));
        previousCode_ = code;
        file_.header.push_back({true, {}, file_.messages.size()});
        file_.messages.push_back(std::move(m));
        errorLine_ = 0;
    }

    bool Lookup(const std::vector<NamedValue>& set, const std::string& name, const char* what, std::uint32_t* out) {
        for (auto& v : set) {
            if (EqualNoCase(v.name, name)) {
                *out = v.value;
                return true;
            }
        }
        Fail(std::string("unknown ") + what + " " + name);
        return false;
    }

    struct Pending {
        std::string idSpec, severity, facility, symbol;
        std::map<std::uint16_t, std::u16string> texts;
        int line = 0;
    };

    Options options_;
    std::vector<std::string> lines_;
    std::vector<bool> crlf_;  // line ended in "\r\n"
    std::size_t lineNo_ = 0;
    std::size_t errorLine_ = 0;  // line to report instead of the current one (list, message)
    std::string error_;
    McFile file_;
    std::optional<Pending> current_;
    bool inText_ = false;
    std::uint16_t textLanguage_ = 0;
    std::uint32_t previousCode_ = 0;
};

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

std::string Hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", v);
    return buf;
}

}  // namespace

std::optional<McFile> Parse(std::string_view text, const Options& options, std::string* error) {
    return Parser(text, options).Run(error);
}

std::uint16_t DefaultLanguage(const McFile& file) {
    for (auto& l : file.languages)
        if (l.id == 0x409) return 0x409;
    return file.languages.empty() ? 0x409 : file.languages.front().id;
}

std::vector<std::uint8_t> BuildTable(const McFile& file, std::uint16_t language) {
    std::vector<std::pair<std::uint32_t, const std::u16string*>> items;
    for (auto& m : file.messages) {
        auto it = m.texts.find(language);
        if (it != m.texts.end()) items.emplace_back(m.id, &it->second);
    }
    std::sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.first < b.first; });

    struct Block {
        std::uint32_t low, high;
        std::size_t first;
    };
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!blocks.empty() && blocks.back().high + 1 == items[i].first) blocks.back().high = items[i].first;
        else blocks.push_back({items[i].first, items[i].first, i});
    }

    std::vector<std::uint8_t> entries;
    std::vector<std::uint32_t> offsets;
    std::size_t headerSize = 4 + 12 * blocks.size();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        offsets.push_back(static_cast<std::uint32_t>(headerSize + entries.size()));
        for (std::size_t i = blocks[b].first; i < blocks[b].first + (blocks[b].high - blocks[b].low + 1); ++i) {
            const std::u16string& text = *items[i].second;
            std::size_t length = 4 + (text.size() + 1) * 2;
            length = (length + 3) & ~std::size_t{3};
            Put16(entries, static_cast<std::uint16_t>(length));
            Put16(entries, 1);  // UTF-16 text
            for (char16_t c : text) Put16(entries, c);
            for (std::size_t pad = 4 + text.size() * 2; pad < length; ++pad) entries.push_back(0);
        }
    }
    std::vector<std::uint8_t> out;
    Put32(out, static_cast<std::uint32_t>(blocks.size()));
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        Put32(out, blocks[b].low);
        Put32(out, blocks[b].high);
        Put32(out, offsets[b]);
    }
    out.insert(out.end(), entries.begin(), entries.end());
    return out;
}

std::string BuildHeader(const McFile& file, const std::string& sourceName) {
    std::string h = "/* Do not edit this file manually.\n   This file is generated by vkmc from " + sourceName + ".  */\n\n";
    for (auto& v : file.severities)
        if (!v.symbol.empty()) h += "#define " + v.symbol + " " + Hex(v.value) + "\n";
    for (auto& v : file.facilities)
        if (!v.symbol.empty()) h += "#define " + v.symbol + " " + Hex(v.value) + "\n";
    h += "\n";
    std::uint16_t language = DefaultLanguage(file);
    for (auto& item : file.header) {
        if (!item.isMessage) {
            h += item.comment + "\n";
            continue;
        }
        const Message& m = file.messages[item.message];
        if (m.symbol.empty()) continue;
        h += "//\n// MessageId: " + m.symbol + "\n//\n// MessageText:\n//\n";
        auto it = m.texts.find(language);
        if (it != m.texts.end()) {
            std::string text = Narrow(it->second);
            std::size_t start = 0;
            while (start < text.size()) {
                std::size_t end = text.find('\n', start);
                if (end == std::string::npos) end = text.size();
                std::size_t stop = end > start && text[end - 1] == '\r' ? end - 1 : end;
                h += "// " + text.substr(start, stop - start) + "\n";
                start = end + 1;
            }
        }
        h += "//\n";
        // The same spelling as windmc, so that both builds see the same macro text.
        if (file.idTypedef.empty()) h += "#define " + m.symbol + "  " + Hex(m.id) + "\n\n";
        else h += "#define " + m.symbol + " (" + file.idTypedef + ") " + Hex(m.id) + "\n\n";
    }
    return h;
}

std::string BuildSource(const std::vector<std::uint8_t>& table, const std::string& symbol,
                        const std::string& sourceName) {
    std::string s = "// Message table of " + sourceName +
                    " for the host build of the driver (generated by vkmc; do not edit).\n"
                    "// Layout of an RT_MESSAGETABLE resource; the simulated kernel finds it by name.\n\n"
                    "extern \"C\" __attribute__((visibility(\"default\"), used, aligned(4)))\n"
                    "const unsigned char " +
                    symbol + "[" + std::to_string(table.size()) + "] = {";
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (i % 16 == 0) s += "\n   ";
        char buf[8];
        std::snprintf(buf, sizeof buf, " 0x%02x,", table[i]);
        s += buf;
    }
    s += "\n};\n";
    return s;
}

}  // namespace vkmc
