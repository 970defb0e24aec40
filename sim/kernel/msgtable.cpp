// Message table lookup and event-viewer style insertion.
#include "sim/msgtable.h"

#include <cstring>

#include "sim/format.h"

namespace sim {
namespace {

std::uint32_t Read32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
std::uint16_t Read16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Tables come from images built by the message compiler; these bounds only
// keep a damaged table from sending a lookup far astray.
constexpr std::uint32_t kMaxBlocks = 65536;

}  // namespace

std::optional<std::u16string> MessageTable::find(std::uint32_t id) const {
    if (!data_) return std::nullopt;
    std::uint32_t blocks = Read32(data_);
    if (blocks > kMaxBlocks) return std::nullopt;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint8_t* block = data_ + 4 + 12 * b;
        std::uint32_t low = Read32(block), high = Read32(block + 4), offset = Read32(block + 8);
        if (id < low || id > high) continue;
        const std::uint8_t* entry = data_ + offset;
        for (std::uint32_t n = low; n < id; ++n) {
            std::uint16_t length = Read16(entry);
            if (length < 4) return std::nullopt;
            entry += length;
        }
        std::uint16_t length = Read16(entry), flags = Read16(entry + 2);
        if (length < 4) return std::nullopt;
        std::u16string text;
        if (flags & 1) {
            for (std::size_t i = 4; i + 1 < length; i += 2) {
                char16_t c = Read16(entry + i);
                if (!c) break;
                text.push_back(c);
            }
        } else {
            for (std::size_t i = 4; i < length && entry[i]; ++i) text.push_back(entry[i]);
        }
        return text;
    }
    return std::nullopt;
}

std::vector<std::uint32_t> MessageTable::ids() const {
    std::vector<std::uint32_t> out;
    if (!data_) return out;
    std::uint32_t blocks = Read32(data_);
    if (blocks > kMaxBlocks) return out;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const std::uint8_t* block = data_ + 4 + 12 * b;
        for (std::uint64_t id = Read32(block); id <= Read32(block + 4); ++id) out.push_back(static_cast<std::uint32_t>(id));
    }
    return out;
}

std::u16string ExpandMessage(std::u16string_view text, const std::vector<std::u16string>& inserts) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c != u'%' || i + 1 >= text.size()) {
            out.push_back(c);
            continue;
        }
        char16_t n = text[++i];
        if (n >= u'1' && n <= u'9') {
            std::size_t start = i - 1;
            std::size_t number = n - u'0';
            if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9') number = number * 10 + (text[++i] - u'0');
            // Optional !format! after the number.
            if (i + 1 < text.size() && text[i + 1] == u'!') {
                std::size_t close = text.find(u'!', i + 2);
                if (close != std::u16string_view::npos) i = close;
            }
            if (number <= inserts.size()) out += inserts[number - 1];
            else out += text.substr(start, i + 1 - start);
            continue;
        }
        switch (n) {
        case u'0': return out;
        case u'n': out += u"\r\n"; break;
        case u'r': out += u'\r'; break;
        case u't': out += u'\t'; break;
        case u'b':
        case u' ': out += u' '; break;
        default: out += n; break;  // %% %. %! and anything else: the character itself
        }
    }
    return out;
}

std::string DisplayMessage(std::u16string_view text) {
    std::u16string t;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
        t.push_back(text[i]);
    }
    while (!t.empty() && (t.back() == u'\n' || t.back() == u'\r')) t.pop_back();
    return Utf8FromUtf16(t);
}

}  // namespace sim
