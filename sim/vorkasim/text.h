// Text helpers of the simulator command: UTF-8 <-> UTF-16 and NT status formatting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorkasim {

std::u16string Utf16(std::string_view text);
std::string Utf8(std::u16string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
// "0x%08x" of a status, as the drivers' messages print them.
std::string StatusText(std::uint32_t status);

}  // namespace vorkasim
