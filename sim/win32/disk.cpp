// The simulated system disk and kernel32's file-system calls over it: copying,
// deleting and finding files, their attributes, directories, the current
// directory of each simulated process and the system directory.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "sim/format.h"
#include "sim/win32.h"
#include "sim/win32_setup.h"
#include "handles.h"
#include "shlwapi.h"
#include "windows.h"

namespace sim::win32 {
namespace {

constexpr char kSystemDirectory[] = "C:\\Windows\\System32";

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string ParentOf(const std::string& path) {
    auto sep = path.rfind('\\');
    if (sep == std::string::npos || sep <= 2) return path.substr(0, 3);  // "C:\"
    return path.substr(0, sep);
}

std::string LeafOf(const std::string& path) {
    auto sep = path.rfind('\\');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

}  // namespace

Disk::Disk() { reset(); }

Disk& Disk::Get() {
    static Disk disk;
    return disk;
}

void Disk::reset() {
    std::lock_guard lock(mutex);
    entries.clear();
    currentDirectories.clear();
    makeDirectories("C:\\Windows\\System32\\drivers");
    makeDirectories("C:\\Windows\\INF");
}

std::string Disk::Normalize(std::string_view path, std::string_view base) {
    std::string text(path);
    std::replace(text.begin(), text.end(), '/', '\\');
    if (text.rfind("\\\\?\\", 0) == 0) text.erase(0, 4);
    std::string full;
    if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) {
        if (text.size() == 2 || text[2] != '\\') return {};  // drive-relative paths are not used here
        full = text;
    } else if (!text.empty() && text[0] == '\\') {
        if (text.size() > 1 && text[1] == '\\') return {};  // UNC: no network on this machine
        full = std::string(base.substr(0, 2)) + text;
    } else {
        full = std::string(base) + "\\" + text;
    }
    std::vector<std::string> parts;
    std::size_t start = 3;
    while (start <= full.size()) {
        std::size_t sep = full.find('\\', start);
        if (sep == std::string::npos) sep = full.size();
        std::string part = full.substr(start, sep - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = sep + 1;
    }
    std::string out = full.substr(0, 2) + "\\";
    out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "\\" : "") + parts[i];
    return out;
}

void Disk::makeDirectories(std::string_view path) {
    std::lock_guard lock(mutex);
    std::string full = Normalize(path);
    if (full.empty()) return;
    for (std::size_t sep = 3; sep <= full.size(); ++sep) {
        if (sep != full.size() && full[sep] != '\\') continue;
        std::string prefix = full.substr(0, sep);
        if (prefix.size() <= 3) continue;
        auto& entry = entries[Upper(prefix)];
        if (entry.name.empty()) {
            entry.directory = true;
            entry.attributes = FILE_ATTRIBUTE_DIRECTORY;
            entry.name = LeafOf(prefix);
        }
    }
}

void Disk::writeFile(std::string_view path, std::string data) {
    std::lock_guard lock(mutex);
    std::string full = Normalize(path);
    if (full.empty()) return;
    makeDirectories(ParentOf(full));
    auto& entry = entries[Upper(full)];
    entry.directory = false;
    entry.data = std::move(data);
    if (entry.name.empty()) {
        entry.name = LeafOf(full);
        entry.attributes = FILE_ATTRIBUTE_ARCHIVE;
    }
}

std::optional<std::string> Disk::readFile(std::string_view path) const {
    std::lock_guard lock(mutex);
    auto it = entries.find(Upper(Normalize(path)));
    if (it == entries.end() || it->second.directory) return std::nullopt;
    return it->second.data;
}

bool Disk::fileExists(std::string_view path) const {
    std::lock_guard lock(mutex);
    auto it = entries.find(Upper(Normalize(path)));
    return it != entries.end() && !it->second.directory;
}

bool Disk::directoryExists(std::string_view path) const {
    std::lock_guard lock(mutex);
    std::string full = Normalize(path);
    if (full.size() == 3) return true;  // a drive's root
    auto it = entries.find(Upper(full));
    return it != entries.end() && it->second.directory;
}

std::vector<std::string> Disk::list(std::string_view directory) const {
    std::lock_guard lock(mutex);
    std::string prefix = Upper(Normalize(directory));
    if (prefix.size() > 3) prefix += "\\";
    std::vector<std::string> names;
    for (auto& [key, entry] : entries) {
        if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0) continue;
        if (key.find('\\', prefix.size()) != std::string::npos) continue;
        names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace sim::win32

namespace {

using sim::win32::Disk;

// The calling process's current directory; a process starts in C:\.
std::string CurrentDirectory() {
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    auto it = disk.currentDirectories.find(sim::win32::CurrentCaller());
    return it == disk.currentDirectories.end() ? std::string("C:\\") : it->second;
}

// A caller's path as the disk's key, or empty (ERROR_INVALID_NAME / ERROR_PATH_NOT_FOUND set).
std::string Resolve(LPCSTR path) {
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return {};
    }
    if (std::strlen(path) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    std::string full = Disk::Normalize(path, CurrentDirectory());
    if (full.empty()) SetLastError(ERROR_INVALID_NAME);
    return full;
}

std::string Key(const std::string& full) {
    std::string out(full);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string Parent(const std::string& full) {
    auto sep = full.rfind('\\');
    return sep == std::string::npos || sep <= 2 ? full.substr(0, 3) : full.substr(0, sep);
}

// A directory search (FindFirstFile): the names that matched, handed out one by one.
struct FindState {
    std::vector<std::pair<std::string, const Disk::Entry*>> matches;
    std::size_t next = 0;
    std::vector<Disk::Entry> copies;
};

bool WildcardMatch(const char* pattern, const char* name) {
    if (*pattern == 0) return *name == 0;
    if (*pattern == '*') return WildcardMatch(pattern + 1, name) || (*name && WildcardMatch(pattern, name + 1));
    if (*name == 0) return false;
    if (*pattern != '?' && std::toupper(static_cast<unsigned char>(*pattern)) !=
                               std::toupper(static_cast<unsigned char>(*name)))
        return false;
    return WildcardMatch(pattern + 1, name + 1);
}

void FillFindData(const std::string& name, const Disk::Entry& entry, LPWIN32_FIND_DATAA data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = entry.attributes;
    data->nFileSizeLow = static_cast<DWORD>(entry.data.size());
    std::snprintf(data->cFileName, sizeof data->cFileName, "%s", name.c_str());
}

std::mutex gFindMutex;
std::vector<std::unique_ptr<FindState>> gFinds;

}  // namespace

extern "C" {

BOOL CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
    std::string from = Resolve(lpExistingFileName);
    if (from.empty()) return FALSE;
    std::string to = Resolve(lpNewFileName);
    if (to.empty()) return FALSE;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    auto source = disk.entries.find(Key(from));
    if (source == disk.entries.end()) {
        SetLastError(disk.directoryExists(Parent(from)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (source->second.directory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!disk.directoryExists(Parent(to))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    auto target = disk.entries.find(Key(to));
    if (target != disk.entries.end()) {
        if (target->second.directory) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (bFailIfExists) {
            SetLastError(ERROR_FILE_EXISTS);
            return FALSE;
        }
        if (target->second.attributes & FILE_ATTRIBUTE_READONLY) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    const std::string data = source->second.data;
    const DWORD attributes = source->second.attributes;
    disk.writeFile(to, data);
    disk.entries[Key(to)].attributes = attributes | FILE_ATTRIBUTE_ARCHIVE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    if (!lpExistingFileName || !lpNewFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string from = sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpExistingFileName));
    std::string to = sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpNewFileName));
    return CopyFileA(from.c_str(), to.c_str(), bFailIfExists);
}

BOOL DeleteFileA(LPCSTR lpFileName) {
    std::string full = Resolve(lpFileName);
    if (full.empty()) return FALSE;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    auto it = disk.entries.find(Key(full));
    if (it == disk.entries.end()) {
        SetLastError(disk.directoryExists(Parent(full)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    // Windows refuses to delete a directory or a read-only file.
    if (it->second.directory || (it->second.attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    disk.entries.erase(it);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    if (!lpFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return DeleteFileA(sim::NarrowFromWide(reinterpret_cast<const char16_t*>(lpFileName)).c_str());
}

BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    std::string full = Resolve(lpPathName);
    if (full.empty()) return FALSE;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    if (full.size() == 3 || disk.entries.count(Key(full))) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (!disk.directoryExists(Parent(full))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    disk.makeDirectories(full);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR lpPathName) {
    std::string full = Resolve(lpPathName);
    if (full.empty()) return FALSE;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    auto it = disk.entries.find(Key(full));
    if (it == disk.entries.end()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (!it->second.directory) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    if (!disk.list(full).empty()) {
        SetLastError(ERROR_DIR_NOT_EMPTY);
        return FALSE;
    }
    disk.entries.erase(it);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR lpFileName) {
    std::string full = Resolve(lpFileName);
    if (full.empty()) return INVALID_FILE_ATTRIBUTES;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    if (full.size() == 3) return FILE_ATTRIBUTE_DIRECTORY;
    auto it = disk.entries.find(Key(full));
    if (it == disk.entries.end()) {
        SetLastError(disk.directoryExists(Parent(full)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return it->second.attributes ? it->second.attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes) {
    std::string full = Resolve(lpFileName);
    if (full.empty()) return FALSE;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    auto it = disk.entries.find(Key(full));
    if (it == disk.entries.end()) {
        SetLastError(disk.directoryExists(Parent(full)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    // FILE_ATTRIBUTE_NORMAL stands alone: it clears the others.
    DWORD kept = dwFileAttributes == FILE_ATTRIBUTE_NORMAL ? 0 : (dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY);
    it->second.attributes = kept | (it->second.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData) {
    std::string full = Resolve(lpFileName);
    if (full.empty() || !lpFindFileData) {
        if (!lpFindFileData) SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string directory = Parent(full);
    std::string pattern = full.substr(full.rfind('\\') + 1);
    Disk& disk = Disk::Get();
    auto state = std::make_unique<FindState>();
    {
        std::lock_guard lock(disk.mutex);
        if (!disk.directoryExists(directory)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        for (auto& name : disk.list(directory)) {
            if (!WildcardMatch(pattern.c_str(), name.c_str())) continue;
            std::string path = directory.size() == 3 ? directory + name : directory + "\\" + name;
            state->copies.push_back(disk.entries.at(Key(path)));
        }
    }
    if (state->copies.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    for (auto& entry : state->copies) state->matches.emplace_back(entry.name, &entry);
    FillFindData(state->matches[0].first, *state->matches[0].second, lpFindFileData);
    state->next = 1;
    std::lock_guard lock(gFindMutex);
    gFinds.push_back(std::move(state));
    SetLastError(ERROR_SUCCESS);
    return gFinds.back().get();
}

BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData) {
    std::lock_guard lock(gFindMutex);
    auto it = std::find_if(gFinds.begin(), gFinds.end(), [&](auto& s) { return s.get() == hFindFile; });
    if (it == gFinds.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    FindState& state = **it;
    if (state.next >= state.matches.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    FillFindData(state.matches[state.next].first, *state.matches[state.next].second, lpFindFileData);
    ++state.next;
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    std::lock_guard lock(gFindMutex);
    auto it = std::find_if(gFinds.begin(), gFinds.end(), [&](auto& s) { return s.get() == hFindFile; });
    if (it == gFinds.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    gFinds.erase(it);
    return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer) {
    std::string current = CurrentDirectory();
    // Too small a buffer: the size needed, terminating NUL included; else the length copied.
    if (!lpBuffer || nBufferLength <= current.size()) return static_cast<DWORD>(current.size() + 1);
    std::memcpy(lpBuffer, current.c_str(), current.size() + 1);
    return static_cast<DWORD>(current.size());
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    std::u16string current = sim::WideFromNarrow(CurrentDirectory());
    if (!lpBuffer || nBufferLength <= current.size()) return static_cast<DWORD>(current.size() + 1);
    std::memcpy(lpBuffer, current.c_str(), (current.size() + 1) * sizeof(char16_t));
    return static_cast<DWORD>(current.size());
}

BOOL SetCurrentDirectoryA(LPCSTR lpPathName) {
    if (!lpPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The current directory may be longer than MAX_PATH (up to 32767 characters with
    // long paths enabled), which is why callers must size their buffers from it.
    std::string full = Disk::Normalize(lpPathName, CurrentDirectory());
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    if (full.empty() || !disk.directoryExists(full)) {
        SetLastError(full.empty() ? ERROR_INVALID_NAME : ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    disk.currentDirectories[sim::win32::CurrentCaller()] = full;
    return TRUE;
}

UINT GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) {
    const std::size_t length = std::strlen(sim::win32::kSystemDirectory);
    if (!lpBuffer || uSize <= length) return static_cast<UINT>(length + 1);
    std::memcpy(lpBuffer, sim::win32::kSystemDirectory, length + 1);
    return static_cast<UINT>(length);
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    std::u16string text = sim::WideFromNarrow(sim::win32::kSystemDirectory);
    if (!lpBuffer || uSize <= text.size()) return static_cast<UINT>(text.size() + 1);
    std::memcpy(lpBuffer, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    return static_cast<UINT>(text.size());
}

UINT GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    static const char kWindows[] = "C:\\Windows";
    if (!lpBuffer || uSize <= sizeof kWindows - 1) return sizeof kWindows;
    std::memcpy(lpBuffer, kWindows, sizeof kWindows);
    return sizeof kWindows - 1;
}

BOOL PathFileExistsA(LPCSTR pszPath) {
    if (!pszPath) return FALSE;
    std::string full = Resolve(pszPath);
    if (full.empty()) return FALSE;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    if (full.size() == 3 || disk.entries.count(Key(full))) return TRUE;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

BOOL PathFileExistsW(LPCWSTR pszPath) {
    if (!pszPath) return FALSE;
    return PathFileExistsA(sim::NarrowFromWide(reinterpret_cast<const char16_t*>(pszPath)).c_str());
}

}  // extern "C"

// ---- File handles on the disk ------------------------------------------------------------

namespace sim::win32 {
namespace {

struct DiskFile {
    std::string key;  // the disk's key of the file
    std::size_t position = 0;
    bool canRead = false, canWrite = false;
};

std::mutex gFileMutex;
std::vector<std::unique_ptr<DiskFile>> gFiles;

DiskFile* FindFile(HANDLE handle) {
    for (auto& file : gFiles)
        if (file.get() == handle) return file.get();
    return nullptr;
}

}  // namespace

bool IsDiskFile(HANDLE handle) {
    std::lock_guard lock(gFileMutex);
    return FindFile(handle) != nullptr;
}

bool IsDiskPath(std::u16string_view name) {
    const std::string text = NarrowFromWide(name);
    if (text.rfind("\\\\.\\", 0) == 0 || text.rfind("\\??\\", 0) == 0 || text.rfind("//./", 0) == 0) return false;
    if (text.size() >= 8 && Upper(text.substr(0, 8)) == "\\DEVICE\\") return false;
    return true;
}

HANDLE OpenDiskFile(std::u16string_view name, DWORD access, DWORD disposition) {
    std::string full = Resolve(NarrowFromWide(name).c_str());
    if (full.empty()) return INVALID_HANDLE_VALUE;
    Disk& disk = Disk::Get();
    std::lock_guard lock(disk.mutex);
    const std::string key = Key(full);
    auto it = disk.entries.find(key);
    const bool exists = it != disk.entries.end();
    if (exists && it->second.directory) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!disk.directoryExists(Parent(full))) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const bool canWrite = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    const bool canRead = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    if (exists && canWrite && (it->second.attributes & FILE_ATTRIBUTE_READONLY)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    DWORD lastError = ERROR_SUCCESS;
    switch (disposition) {
    case CREATE_NEW:
        if (exists) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        disk.writeFile(full, {});
        break;
    case CREATE_ALWAYS:
        if (exists) lastError = ERROR_ALREADY_EXISTS;
        disk.writeFile(full, {});
        break;
    case OPEN_EXISTING:
        if (!exists) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        break;
    case OPEN_ALWAYS:
        if (exists) lastError = ERROR_ALREADY_EXISTS;
        else disk.writeFile(full, {});
        break;
    case TRUNCATE_EXISTING:
        if (!exists) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        disk.entries[key].data.clear();
        break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_unique<DiskFile>();
    file->key = key;
    file->canRead = canRead;
    file->canWrite = canWrite;
    std::lock_guard files(gFileMutex);
    gFiles.push_back(std::move(file));
    SetLastError(lastError);
    return gFiles.back().get();
}

// What a read and a write share: the handle's file (false: not a disk file), the access check, and
// `transfer` under the disk's lock with the file's data (nullptr once the file was deleted). The
// transfer returns how many bytes it moved at the file's position, or nothing to refuse the request.
template <typename Transfer>
bool TransferDiskFile(HANDLE handle, bool DiskFile::*access, LPDWORD done, BOOL* result, Transfer transfer) {
    std::lock_guard files(gFileMutex);
    DiskFile* file = FindFile(handle);
    if (!file) return false;
    if (done) *done = 0;
    Disk& disk = Disk::Get();
    std::optional<std::size_t> moved;
    if (file->*access) {
        std::lock_guard lock(disk.mutex);
        auto it = disk.entries.find(file->key);
        moved = transfer(file->position, it == disk.entries.end() ? nullptr : &it->second.data);
    }
    if (!moved) {
        SetLastError(ERROR_ACCESS_DENIED);
        *result = FALSE;
        return true;
    }
    file->position += *moved;
    if (done) *done = static_cast<DWORD>(*moved);
    *result = TRUE;
    return true;
}

bool ReadDiskFile(HANDLE handle, void* buffer, DWORD length, LPDWORD done, BOOL* result) {
    return TransferDiskFile(handle, &DiskFile::canRead, done, result,
                            [&](std::size_t position, const std::string* data) -> std::optional<std::size_t> {
                                // At or past the end of the file: success with 0 bytes.
                                if (data == nullptr || position >= data->size()) return 0;
                                const std::size_t n = std::min<std::size_t>(length, data->size() - position);
                                if (n) std::memcpy(buffer, data->data() + position, n);
                                return n;
                            });
}

bool WriteDiskFile(HANDLE handle, const void* buffer, DWORD length, LPDWORD done, BOOL* result) {
    return TransferDiskFile(handle, &DiskFile::canWrite, done, result,
                            [&](std::size_t position, std::string* data) -> std::optional<std::size_t> {
                                // Deleted while open: Windows would not have allowed it.
                                if (data == nullptr) return std::nullopt;
                                if (data->size() < position + length) data->resize(position + length);
                                std::memcpy(data->data() + position, buffer, length);
                                return length;
                            });
}

bool CloseDiskFile(HANDLE handle) {
    std::lock_guard files(gFileMutex);
    auto it = std::find_if(gFiles.begin(), gFiles.end(), [&](auto& f) { return f.get() == handle; });
    if (it == gFiles.end()) return false;
    gFiles.erase(it);
    return true;
}

}  // namespace sim::win32
