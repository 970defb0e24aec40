// Reading Windows message compiler (.mc) files and producing what windmc
// produces from them: the RT_MESSAGETABLE bytes of one language and the
// header of symbolic names. The host build compiles the table into the
// driver image instead of a resource.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vkmc {

struct NamedValue {
    std::string name;
    std::uint32_t value = 0;
    std::string symbol;  // optional ":SYMBOL" of the definition
};

struct Language {
    std::string name;
    std::uint16_t id = 0;
    std::string file;
};

struct Message {
    std::uint32_t id = 0;  // complete id: severity, customer bit, facility, code
    std::string symbol;
    std::map<std::uint16_t, std::u16string> texts;  // by language id; each line ends as in the file
    int line = 0;                                    // of its MessageId keyword
};

struct McFile {
    std::string idTypedef;
    std::vector<NamedValue> severities;
    std::vector<NamedValue> facilities;
    std::vector<Language> languages;
    std::vector<Message> messages;  // in file order
    // Header items in file order: comment lines (';' removed) and messages.
    struct HeaderItem {
        bool isMessage = false;
        std::string comment;
        std::size_t message = 0;
    };
    std::vector<HeaderItem> header;
};

struct Options {
    bool customerBit = false;  // windmc -c: set bit 29 of every id
};

// Parses the file's text; on failure returns nothing and sets `error` to
// "line N: what".
std::optional<McFile> Parse(std::string_view text, const Options& options, std::string* error);

// The message table of `language` (RT_MESSAGETABLE layout, UTF-16 entries):
// ids ascending, consecutive ids sharing one block.
std::vector<std::uint8_t> BuildTable(const McFile& file, std::uint16_t language);

// The language whose table the host image carries: 0x409 when the file has
// it, else its first language.
std::uint16_t DefaultLanguage(const McFile& file);

// windmc's -h header: severity/facility symbols, comments, and one
// "#define SYMBOL (typedef) 0x..." per message.
std::string BuildHeader(const McFile& file, const std::string& sourceName);

// C++ source that defines the exported symbol `symbol` holding `table`.
std::string BuildSource(const std::vector<std::uint8_t>& table, const std::string& symbol,
                        const std::string& sourceName);

}  // namespace vkmc
