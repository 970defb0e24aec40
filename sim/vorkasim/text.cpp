#include "text.h"

#include <cstdio>

#include <sim/format.h>

namespace vorkasim {

std::u16string Utf16(std::string_view text)
{
    return sim::Utf16FromUtf8(text);
}

std::string Utf8(std::u16string_view text)
{
    return sim::Utf8FromUtf16(text);
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= u'a' && a[i] <= u'z' ? a[i] - 32 : a[i];
        char16_t y = b[i] >= u'a' && b[i] <= u'z' ? b[i] - 32 : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string StatusText(std::uint32_t status)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08x", status);
    return text;
}

}  // namespace vorkasim
