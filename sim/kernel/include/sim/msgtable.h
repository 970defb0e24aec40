// Message tables of driver images (the RT_MESSAGETABLE resource layout) and
// the insertion rules the event viewer applies to their texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// Name of the symbol under which a host driver image exports its table.
inline constexpr const char* kMessageTableSymbol = "VorkaMessageTable";

// Read-only view of a message table in memory:
//   ULONG NumberOfBlocks; { ULONG LowId, HighId, OffsetToEntries } Blocks[];
//   entries: { USHORT Length; USHORT Flags; text } with Flags 1 = UTF-16,
//   Length counting the 4-byte header, the text, its NUL and padding.
// The table belongs to the image; the view does not copy it.
class MessageTable {
public:
    MessageTable() = default;
    explicit MessageTable(const void* data) : data_(static_cast<const std::uint8_t*>(data)) {}

    bool empty() const { return data_ == nullptr; }
    // The text of message `id`, exactly as stored (with its "\r\n"), or
    // nothing when the table has no such message.
    std::optional<std::u16string> find(std::uint32_t id) const;
    // Every message id in the table, ascending.
    std::vector<std::uint32_t> ids() const;

private:
    const std::uint8_t* data_ = nullptr;
};

// Expands a message text the way the event viewer does: %1 ... %99 (with an
// optional !printf-spec!, the insert is shown as a string) take
// inserts[0] ... inserts[98], an insert beyond the list stays as written;
// %n is a line break ("\r\n"), %r a carriage return, %t a tab, %b and "% "
// a blank, %. %! %% the character itself, and %0 ends the text.
std::u16string ExpandMessage(std::u16string_view text, const std::vector<std::u16string>& inserts);

// A message text for display: UTF-8, "\r\n" as "\n", trailing line breaks removed.
std::string DisplayMessage(std::u16string_view text);

}  // namespace sim
