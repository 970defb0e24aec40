// FormatMessageA/W over the system message table, with kernel32's buffer, insert and
// line-width rules; an allocated buffer is local memory (LocalAlloc, memory.cpp).
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/format.h"
#include "sim/verifier.h"
#include "sim/win32.h"
#include "windows.h"

namespace {

// The English system texts of the Win32 errors this layer returns, as Windows words them.
const char* SystemText(DWORD id) {
    static const std::unordered_map<DWORD, const char*> kTexts = {
        {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
        {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_NO_MORE_FILES, "There are no more files.\r\n"},
        {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
        {ERROR_NOT_READY, "The device is not ready.\r\n"},
        {ERROR_BAD_COMMAND, "The device does not recognize the command.\r\n"},
        {ERROR_CRC, "Data error (cyclic redundancy check).\r\n"},
        {ERROR_BAD_LENGTH, "The program issued a command but the command length is incorrect.\r\n"},
        {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
        {ERROR_SHARING_VIOLATION,
         "The process cannot access the file because it is being used by another process.\r\n"},
        {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
        {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
        {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
        {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
        {ERROR_BUSY, "The requested resource is in use.\r\n"},
        {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
        {ERROR_MORE_DATA, "More data is available.\r\n"},
        {WAIT_TIMEOUT, "The wait operation timed out.\r\n"},
        {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
        {ERROR_DIRECTORY, "The directory name is invalid.\r\n"},
        {ERROR_MR_MID_NOT_FOUND,
         "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
        {ERROR_ARITHMETIC_OVERFLOW, "Arithmetic result exceeded 32 bits.\r\n"},
        {ERROR_OPERATION_ABORTED,
         "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
        {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state.\r\n"},
        {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
        {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
        {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
        {ERROR_CHILD_MUST_BE_VOLATILE, "Cannot create a stable subkey under a volatile parent key.\r\n"},
        {ERROR_END_OF_MEDIA, "The physical end of the tape has been reached.\r\n"},
        {ERROR_FILEMARK_DETECTED, "A tape access reached a filemark.\r\n"},
        {ERROR_BEGINNING_OF_MEDIA, "The beginning of the tape or a partition was encountered.\r\n"},
        {ERROR_SETMARK_DETECTED, "A tape access reached the end of a set of files.\r\n"},
        {ERROR_NO_DATA_DETECTED, "No more data is on the tape.\r\n"},
        {ERROR_INVALID_BLOCK_LENGTH,
         "When accessing a new tape of a multivolume partition, the current block size is incorrect.\r\n"},
        {ERROR_MEDIA_CHANGED, "The media in the drive may have changed.\r\n"},
        {ERROR_BUS_RESET, "The I/O bus was reset.\r\n"},
        {ERROR_NO_MEDIA_IN_DRIVE, "No media in drive.\r\n"},
        {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
        {ERROR_EOM_OVERFLOW, "Physical end of tape encountered.\r\n"},
        {ERROR_SOURCE_ELEMENT_EMPTY, "The indicated source element has no media.\r\n"},
        {ERROR_DESTINATION_ELEMENT_FULL, "The indicated destination element already contains media.\r\n"},
        {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
        {ERROR_NOT_FOUND, "Element not found.\r\n"},
        {ERROR_INTERNAL_ERROR, "An internal error occurred.\r\n"},
        {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service.\r\n"},
        {ERROR_DEVICE_REMOVED, "The device has been removed.\r\n"},
        {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation.\r\n"},
        {ERROR_RESOURCE_DATA_NOT_FOUND, "The specified image file did not contain a resource section.\r\n"},
        {ERROR_RESOURCE_TYPE_NOT_FOUND, "The specified resource type cannot be found in the image file.\r\n"},
        {ERROR_RESOURCE_LANG_NOT_FOUND,
         "The specified resource language ID cannot be found in the image file.\r\n"},
        {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
        {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
        {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
        {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
        {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
        {ERROR_NOT_LOCKED, "The segment is already unlocked.\r\n"},
        {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered.\r\n"},
        {ERROR_INVALID_ADDRESS, "Attempt to access invalid address.\r\n"},
        {ERROR_INVALID_FLAGS, "Invalid flags.\r\n"},
        {ERROR_PARTITION_FAILURE, "Tape could not be partitioned.\r\n"},
        {ERROR_DEVICE_NOT_PARTITIONED, "Tape partition information could not be found when loading a tape.\r\n"},
        {ERROR_UNABLE_TO_LOCK_MEDIA, "Unable to lock the media eject mechanism.\r\n"},
        {ERROR_UNABLE_TO_UNLOAD_MEDIA, "Unable to unload the media.\r\n"},
        {ERROR_NO_UNICODE_TRANSLATION,
         "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
        {ERROR_ILLEGAL_ELEMENT_ADDRESS, "The indicated element does not exist.\r\n"},
        {ERROR_DEVICE_REQUIRES_CLEANING,
         "The device has indicated that cleaning is required before further operations are attempted.\r\n"},
        {ERROR_DEVICE_DOOR_OPEN, "The device has indicated that its door is open.\r\n"},
        {ERROR_CANCELLED, "The operation was canceled by the user.\r\n"},
        {ERROR_REQUEST_ABORTED, "The request was aborted.\r\n"},
        {ERROR_REVISION_MISMATCH, "Indicates two revision levels are incompatible.\r\n"},
        {ERROR_TOO_MANY_POSTS, "Too many posts were made to a semaphore.\r\n"},
        {ERROR_UNKNOWN_REVISION, "The revision level is unknown.\r\n"},
        {ERROR_INVALID_ACL, "The access control list (ACL) structure is invalid.\r\n"},
        {ERROR_INVALID_SID, "The security ID structure is invalid.\r\n"},
        {ERROR_INVALID_SECURITY_DESCR, "The security descriptor structure is invalid.\r\n"},
        {ERROR_ALLOTTED_SPACE_EXCEEDED, "No more memory is available for security information updates.\r\n"},
        {ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running.\r\n"},
        {ERROR_SERVICE_DISABLED,
         "The service cannot be started, either because it is disabled or because it has no enabled devices "
         "associated with it.\r\n"},
        {ERROR_BAD_DRIVER, "The specified driver is invalid.\r\n"},
        {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
        {ERROR_UNRECOGNIZED_MEDIA, "The disk media is not recognized. It may not be formatted.\r\n"},
        {ERROR_CLEANER_CARTRIDGE_INSTALLED, "A cleaner cartridge is present in the tape library.\r\n"},
    };
    // A Win32 error wrapped as an HRESULT (FACILITY_WIN32) has the same text.
    if ((id & 0xFFFF0000u) == 0x80070000u) id &= 0xFFFFu;
    auto it = kTexts.find(id);
    return it == kTexts.end() ? nullptr : it->second;
}

bool EnglishOrNeutral(DWORD language) {
    const DWORD primary = PRIMARYLANGID(language);
    return language == 0 || (primary == LANG_NEUTRAL && SUBLANGID(language) <= SUBLANG_SYS_DEFAULT) ||
           primary == LANG_ENGLISH;
}

// ---- Formatting --------------------------------------------------------------------------------

// The argument of insert `number` (1-based) in string form; false when the insert's format is
// not one this layer formats.
template <typename Char>
bool InsertText(const std::u16string& format, DWORD_PTR value, std::u16string* out) {
    if (format.empty() || format == u"s" || format == u"S" || format == u"ls" || format == u"ws") {
        if (!value) {
            *out += u"(null)";
            return true;
        }
        if constexpr (sizeof(Char) == 1) {
            *out += sim::WideFromNarrow(reinterpret_cast<const char*>(value));
        } else {
            *out += reinterpret_cast<const char16_t*>(value);
        }
        return true;
    }
    const std::string narrow = sim::NarrowFromWide(format);
    const char last = narrow.back();
    if (narrow.find_first_not_of("0123456789.-+# lhI") != narrow.size() - 1 ||
        std::strchr("diuxXoc", last) == nullptr)
        return false;
    char text[64];
    // Integer inserts are 32-bit unless the format says otherwise (%I64, %ll).
    const bool wide = narrow.find("I64") != std::string::npos || narrow.find("ll") != std::string::npos;
    std::string spec = "%" + narrow;
    if (wide) {
        spec = "%" + narrow.substr(0, narrow.size() - 1);
        if (auto at = spec.find("I64"); at != std::string::npos) spec.replace(at, 3, "ll");
        spec += last;
        std::snprintf(text, sizeof text, spec.c_str(), static_cast<unsigned long long>(value));
    } else {
        std::snprintf(text, sizeof text, spec.c_str(), static_cast<unsigned>(value));
    }
    *out += sim::WideFromNarrow(text);
    return true;
}

// Expands the escape sequences and inserts of `source`; an error when an insert cannot be
// filled.
template <typename Char>
DWORD Expand(const std::u16string& source, DWORD flags, va_list* arguments, std::u16string* out) {
    const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    const bool array = (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0;
    const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
    // The arguments of a va_list are taken in order, once, up to the highest insert number.
    std::vector<DWORD_PTR> listed;
    if (!ignoreInserts && !array && arguments) {
        unsigned highest = 0;
        for (std::size_t i = 0; i + 1 < source.size(); ++i)
            if (source[i] == u'%' && source[i + 1] >= u'1' && source[i + 1] <= u'9') {
                unsigned n = source[i + 1] - u'0';
                if (i + 2 < source.size() && source[i + 2] >= u'0' && source[i + 2] <= u'9')
                    n = n * 10 + (source[i + 2] - u'0');
                if (n > highest) highest = n;
                ++i;
            } else if (source[i] == u'%') {
                ++i;
            }
        va_list copy;
        va_copy(copy, *arguments);
        for (unsigned n = 0; n < highest; ++n) listed.push_back(va_arg(copy, DWORD_PTR));
        va_end(copy);
    }
    for (std::size_t i = 0; i < source.size(); ++i) {
        const char16_t c = source[i];
        if (c == u'\r' && i + 1 < source.size() && source[i + 1] == u'\n') {
            // A line end of the text: kept, or a space when the caller gives a line width
            // (lines break at that width) or takes only the explicit line breaks (%n).
            if (width != 0) {
                *out += u' ';
            } else {
                *out += u"\r\n";
            }
            ++i;
            continue;
        }
        if (c != u'%' || i + 1 == source.size()) {
            *out += c;
            continue;
        }
        const char16_t next = source[++i];
        switch (next) {
        case u'0': return NO_ERROR;  // the message ends here, without a line end
        case u'n': *out += u"\r\n"; continue;
        case u'r': *out += u'\r'; continue;
        case u't': *out += u'\t'; continue;
        case u'b': *out += u' '; continue;
        default: break;
        }
        if (next < u'1' || next > u'9') {
            *out += next;  // %%, %., %!, %space and the like stand for the character itself
            continue;
        }
        const std::size_t start = i - 1;
        unsigned number = next - u'0';
        if (i + 1 < source.size() && source[i + 1] >= u'0' && source[i + 1] <= u'9') number = number * 10 + (source[++i] - u'0');
        std::u16string format;
        if (i + 1 < source.size() && source[i + 1] == u'!') {
            const std::size_t close = source.find(u'!', i + 2);
            if (close == std::u16string::npos) return ERROR_INVALID_PARAMETER;
            format = source.substr(i + 2, close - i - 2);
            i = close;
        }
        if (ignoreInserts) {
            *out += source.substr(start, i + 1 - start);
            continue;
        }
        if (!arguments) return ERROR_INVALID_PARAMETER;
        const DWORD_PTR value = array ? reinterpret_cast<const DWORD_PTR*>(arguments)[number - 1] : listed[number - 1];
        if (!InsertText<Char>(format, value, out)) return ERROR_INVALID_PARAMETER;
    }
    return NO_ERROR;
}

// Breaks `text` into lines of at most `width` characters at spaces (the space becomes the line
// end); a word longer than the width keeps a line of its own, explicit line ends stay.
std::u16string WrapLines(const std::u16string& text, std::size_t width) {
    std::u16string out;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n') lineStart = out.size() + 1;
        if (text[i] == u' ') {
            std::size_t end = i + 1;
            while (end < text.size() && text[end] != u' ' && text[end] != u'\r') ++end;
            const std::size_t word = end - i - 1;
            if (word > 0 && out.size() > lineStart && out.size() - lineStart + 1 + word > width) {
                out += u"\r\n";
                lineStart = out.size();
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

template <typename Char>
DWORD FormatMessageT(DWORD flags, LPCVOID source, DWORD id, DWORD language, Char* buffer, DWORD size,
                     va_list* arguments) {
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string text;
    if (flags & FORMAT_MESSAGE_FROM_STRING) {
        if (!source) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if constexpr (sizeof(Char) == 1) {
            text = sim::WideFromNarrow(static_cast<const char*>(source));
        } else {
            text = static_cast<const char16_t*>(source);
        }
    } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
        if (!EnglishOrNeutral(language)) {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        const char* system = SystemText(id);
        if (!system) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        text = sim::WideFromNarrow(system);
    } else if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
        // Program modules carry no message tables here.
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return 0;
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    std::u16string expanded;
    if (DWORD error = Expand<Char>(text, flags, arguments, &expanded); error != NO_ERROR) {
        SetLastError(error);
        return 0;
    }
    if (const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK; width != 0 && width != FORMAT_MESSAGE_MAX_WIDTH_MASK)
        expanded = WrapLines(expanded, width);
    std::basic_string<Char> result;
    if constexpr (sizeof(Char) == 1) {
        result = sim::NarrowFromWide(expanded);
    } else {
        result.assign(expanded.begin(), expanded.end());
    }
    const std::size_t length = result.size();
    Char* target = buffer;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // lpBuffer is where the address of a LocalAlloc'd buffer goes; nSize is its least size.
        const std::size_t count = length + 1 > size ? length + 1 : size;
        target = static_cast<Char*>(LocalAlloc(LMEM_FIXED, count * sizeof(Char)));
        if (!target) return 0;
        *reinterpret_cast<Char**>(buffer) = target;
    } else if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(target, result.data(), length * sizeof(Char));
    target[length] = 0;
    return static_cast<DWORD>(length);
}

}  // namespace

extern "C" {

DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) {
    return FormatMessageT<char>(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize, Arguments);
}

DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                     DWORD nSize, va_list* Arguments) {
    return FormatMessageT<WCHAR>(dwFlags, lpSource, dwMessageId, dwLanguageId, lpBuffer, nSize, Arguments);
}

}  // extern "C"
