// The Win32, SetupAPI, configuration manager and newdev calls of the installer, over the scripted
// machine of fake_machine.h. Only what the installer calls; each answers as Windows documents it
// (return value, last error, buffer sizes), and stricter where that is cheap.
#include "fake_machine.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace fakemachine {

static Machine g_machine;
static thread_local DWORD t_lastError;

Machine &M() { return g_machine; }
// Files keep the case of their names as created (the map of contents is keyed in lower case).
static std::map<std::string, std::string> g_fileNames;
static void ClearFileNames() { g_fileNames.clear(); }

void Reset()
{
    g_machine = Machine{};
    ClearFileNames();
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    return s;
}

static std::string ParamsKey(const std::string &service)
{
    return Lower("system\\currentcontrolset\\services\\" + service + "\\parameters");
}

void SetString(const std::string &key, const std::string &name, const std::string &value)
{
    RegValue v;
    v.type = REG_SZ;
    v.data.assign(value.begin(), value.end());
    v.data.push_back(0);
    g_machine.registry[Lower(key)][Lower(name)] = v;
}

void SetBinary(const std::string &key, const std::string &name, const std::vector<uint8_t> &value)
{
    RegValue v;
    v.type = REG_BINARY;
    v.data = value;
    g_machine.registry[Lower(key)][Lower(name)] = v;
}

std::optional<uint32_t> GetDword(const std::string &key, const std::string &name)
{
    auto k = g_machine.registry.find(Lower(key));
    if (k == g_machine.registry.end())
        return std::nullopt;
    auto v = k->second.find(Lower(name));
    if (v == k->second.end() || v->second.type != REG_DWORD || v->second.data.size() != 4)
        return std::nullopt;
    uint32_t d;
    std::memcpy(&d, v->second.data.data(), 4);
    return d;
}

bool KeyExists(const std::string &key) { return g_machine.registry.count(Lower(key)) != 0; }

std::set<std::string> ParameterNames(const std::string &service)
{
    std::set<std::string> names;
    auto k = g_machine.registry.find(ParamsKey(service));
    if (k != g_machine.registry.end())
        for (auto &[name, value] : k->second)
            names.insert(name);
    return names;
}

static std::map<std::string, int> g_writes;


int WriteCount(const std::string &service, const std::string &name)
{
    auto it = g_writes.find(ParamsKey(service) + "|" + Lower(name));
    return it == g_writes.end() ? 0 : it->second;
}

void PutFile(const std::string &path, const std::string &content)
{
    g_machine.files[Lower(path)] = content;
    g_fileNames[Lower(path)] = path;
}

std::optional<std::string> GetFile(const std::string &path)
{
    auto it = g_machine.files.find(Lower(path));
    if (it == g_machine.files.end())
        return std::nullopt;
    return it->second;
}

void MakeServer(const char *year)
{
    const std::string key = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    SetString(key, "ProductName", std::string("Windows Server ") + year + " Datacenter");
    SetString(key, "CurrentVersion", "6.3");
    g_machine.registry["system"];
    g_machine.registry["system\\currentcontrolset"];
    g_machine.registry["system\\currentcontrolset\\services"];
    g_writes.clear();
}

void MakePackage(const std::string &infSourceDir)
{
    for (const char *inf : {"armbasef", "reelbasf", "vorkacbus", "vorkatbus"}) {
        std::ifstream in(infSourceDir + "/" + inf + ".inf");
        std::stringstream ss;
        ss << in.rdbuf();
        PutFile(g_machine.currentDir + "\\drivers\\" + inf + ".inf", ss.str());
    }
    for (const char *sys : {"vorkacbus", "vorkatbus", "vorkacflt", "vorkatflt"})
        PutFile(g_machine.currentDir + "\\drivers\\" + sys + ".sys", "MZ");
}

} // namespace fakemachine

using namespace fakemachine;

namespace {

const GUID kSystemGuid = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kTapeGuid = {0x6d807884, 0x7d21, 0x11cf, {0x80, 0x1c, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID kChangerGuid = {0xce5939ae, 0xebde, 0x11d0, {0xb1, 0x81, 0x00, 0x00, 0xf8, 0x75, 0x3e, 0xc4}};

bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const GUID *GuidOfClass(const std::string &cls)
{
    std::string l = Lower(cls);
    if (l == "system")
        return &kSystemGuid;
    if (l == "tapedrive")
        return &kTapeGuid;
    if (l == "mediumchanger")
        return &kChangerGuid;
    return nullptr;
}

// Registry handles: a heap record naming the key, or a device's driver key.
struct KeyHandle {
    std::string path; // lower case, below HKLM; "" for HKLM itself
    int device = -1;  // driver key of g_machine.devices[device]
};

KeyHandle *FromHkey(HKEY h, KeyHandle &root)
{
    if (h == HKEY_LOCAL_MACHINE) {
        root = KeyHandle{};
        return &root;
    }
    return reinterpret_cast<KeyHandle *>(h);
}

std::string Join(const std::string &base, const char *sub)
{
    std::string s = sub ? Lower(sub) : "";
    while (!s.empty() && s.back() == '\\')
        s.pop_back();
    if (base.empty())
        return s;
    return s.empty() ? base : base + "\\" + s;
}

struct FileHandle {
    std::string path;
    bool write;
    size_t pos = 0;
};

struct FindHandle {
    std::vector<std::string> names;
    size_t next = 0;
};

struct DevSet {
    GUID guid;
    std::vector<int> members;            // indexes into g_machine.devices
    std::unique_ptr<Device> pending;     // created, not yet registered
};

constexpr DWORD kPendingDevInst = 0x7fff;

Device *DeviceOf(DevSet *set, PSP_DEVINFO_DATA data)
{
    if (!set || !data)
        return nullptr;
    if (data->DevInst == kPendingDevInst)
        return set->pending.get();
    if (data->DevInst == 0 || data->DevInst > g_machine.devices.size())
        return nullptr;
    return &g_machine.devices[data->DevInst - 1];
}

void CopyString(const std::string &s, char *out, size_t cch)
{
    size_t n = std::min(s.size(), cch - 1);
    std::memcpy(out, s.data(), n);
    out[n] = 0;
}

} // namespace

extern "C" {

DWORD WINAPI GetLastError(VOID) { return t_lastError; }
VOID WINAPI SetLastError(DWORD e) { t_lastError = e; }

DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID, DWORD id, DWORD, LPSTR buffer, DWORD size, va_list *)
{
    static const std::map<DWORD, std::string> texts = {
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    };
    auto it = texts.find(id);
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || it == texts.end() || it->second.size() >= size) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    CopyString(it->second, buffer, size);
    return (DWORD)it->second.size();
}

// ---- Registry ---------------------------------------------------------------------------------

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR sub, DWORD, LPSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                               PHKEY result, LPDWORD disposition)
{
    KeyHandle root;
    KeyHandle *base = FromHkey(hKey, root);
    std::string path = Join(base->path, sub);
    if (!g_machine.failCreateKey.empty() && path.find(g_machine.failCreateKey) != std::string::npos)
        return ERROR_ACCESS_DENIED;
    bool existed = g_machine.registry.count(path) != 0;
    // Parents come into being with the key.
    for (size_t p = path.find('\\'); p != std::string::npos; p = path.find('\\', p + 1))
        g_machine.registry[path.substr(0, p)];
    g_machine.registry[path];
    if (disposition)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *result = reinterpret_cast<HKEY>(new KeyHandle{path});
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR sub, DWORD, REGSAM, PHKEY result)
{
    KeyHandle root;
    KeyHandle *base = FromHkey(hKey, root);
    std::string path = Join(base->path, sub);
    if (!g_machine.registry.count(path))
        return ERROR_FILE_NOT_FOUND;
    *result = reinterpret_cast<HKEY>(new KeyHandle{path});
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE || !hKey)
        return ERROR_SUCCESS;
    delete reinterpret_cast<KeyHandle *>(hKey);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD cb)
{
    KeyHandle root;
    KeyHandle *k = FromHkey(hKey, root);
    std::string lname = Lower(name ? name : "");
    if (!g_machine.failSetValue.empty() && lname == Lower(g_machine.failSetValue))
        return ERROR_ACCESS_DENIED;
    if (k->device >= 0) {
        g_machine.devices[k->device].driverValues[name] = std::string((const char *)data);
        return ERROR_SUCCESS;
    }
    if (!g_machine.registry.count(k->path))
        return ERROR_KEY_DELETED;
    RegValue v;
    v.type = type;
    v.data.assign(data, data + cb);
    g_machine.registry[k->path][lname] = v;
    ++g_writes[k->path + "|" + lname];
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD cbData)
{
    KeyHandle root;
    KeyHandle *k = FromHkey(hKey, root);
    RegValue v;
    if (k->device >= 0) {
        auto &values = g_machine.devices[k->device].driverValues;
        auto it = values.find(name);
        if (it == values.end())
            return ERROR_FILE_NOT_FOUND;
        v.type = REG_SZ;
        v.data.assign(it->second.begin(), it->second.end());
        v.data.push_back(0);
    } else {
        auto key = g_machine.registry.find(k->path);
        if (key == g_machine.registry.end())
            return ERROR_KEY_DELETED;
        auto it = key->second.find(Lower(name ? name : ""));
        if (it == key->second.end())
            return ERROR_FILE_NOT_FOUND;
        v = it->second;
    }
    if (type)
        *type = v.type;
    if (!cbData)
        return ERROR_SUCCESS;
    if (data && *cbData < v.data.size()) {
        *cbData = (DWORD)v.data.size();
        return ERROR_MORE_DATA;
    }
    if (data)
        std::memcpy(data, v.data.data(), v.data.size());
    *cbData = (DWORD)v.data.size();
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR sub)
{
    KeyHandle root;
    KeyHandle *base = FromHkey(hKey, root);
    std::string path = Join(base->path, sub);
    if (!g_machine.registry.count(path))
        return ERROR_FILE_NOT_FOUND;
    for (auto it = g_machine.registry.begin(); it != g_machine.registry.end();) {
        if (it->first == path || it->first.rfind(path + "\\", 0) == 0)
            it = g_machine.registry.erase(it);
        else
            ++it;
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR sub)
{
    KeyHandle root;
    KeyHandle *base = FromHkey(hKey, root);
    std::string path = Join(base->path, sub);
    if (!g_machine.registry.count(path))
        return ERROR_FILE_NOT_FOUND;
    for (auto &[p, values] : g_machine.registry)
        if (p.rfind(path + "\\", 0) == 0)
            return ERROR_ACCESS_DENIED; // a key with subkeys cannot be deleted alone
    g_machine.registry.erase(path);
    return ERROR_SUCCESS;
}

// ---- Files ------------------------------------------------------------------------------------

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE)
{
    std::string path = Lower(name);
    if (path.size() >= MAX_PATH) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool exists = g_machine.files.count(path) != 0;
    bool write = (access & GENERIC_WRITE) != 0;
    if (disposition == OPEN_EXISTING && !exists) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS) {
        // The folder must exist: some file lies in it.
        std::string dir = path.substr(0, path.rfind('\\'));
        bool dirExists = dir == Lower(g_machine.currentDir);
        for (auto &[p, c] : g_machine.files)
            dirExists = dirExists || p.rfind(dir + "\\", 0) == 0;
        if (!dirExists) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        g_machine.files[path].clear();
        g_fileNames[path] = name;
    }
    SetLastError(0);
    return new FileHandle{path, write};
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD read, LPOVERLAPPED)
{
    auto *f = static_cast<FileHandle *>(h);
    const std::string &content = g_machine.files[f->path];
    size_t take = std::min<size_t>(n, content.size() - std::min(f->pos, content.size()));
    std::memcpy(buf, content.data() + f->pos, take);
    f->pos += take;
    *read = (DWORD)take;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD written, LPOVERLAPPED)
{
    auto *f = static_cast<FileHandle *>(h);
    if (!f->write) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    g_machine.files[f->path].append(static_cast<const char *>(buf), n);
    *written = n;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE h)
{
    if (h == (HANDLE)1) // the process token
        return TRUE;
    delete static_cast<FileHandle *>(h);
    return TRUE;
}

BOOL WINAPI PathFileExistsA(LPCSTR path) { return g_machine.files.count(Lower(path)) != 0; }

BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD)
{
    if (!g_machine.files.count(Lower(path))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR path)
{
    if (!g_machine.files.erase(Lower(path))) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data)
{
    std::string p = Lower(pattern);
    if (p.size() < 2 || p.substr(p.size() - 2) != "\\*") {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string dir = p.substr(0, p.size() - 2) + "\\";
    auto *find = new FindHandle;
    for (auto &[path, content] : g_machine.files)
        if (path.rfind(dir, 0) == 0 && path.find('\\', dir.size()) == std::string::npos)
        {
            auto original = g_fileNames.find(path);
            std::string name = original != g_fileNames.end() ? original->second : path;
            find->names.push_back(name.substr(name.rfind('\\') + 1));
        }
    if (find->names.empty()) {
        delete find;
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::memset(data, 0, sizeof *data);
    CopyString(find->names[find->next++], data->cFileName, sizeof data->cFileName);
    return find;
}

BOOL WINAPI FindNextFileA(HANDLE h, LPWIN32_FIND_DATAA data)
{
    auto *find = static_cast<FindHandle *>(h);
    if (find->next >= find->names.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    std::memset(data, 0, sizeof *data);
    CopyString(find->names[find->next++], data->cFileName, sizeof data->cFileName);
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE h)
{
    delete static_cast<FindHandle *>(h);
    return TRUE;
}

static DWORD CopyDir(const std::string &dir, DWORD cch, LPSTR buf)
{
    if (dir.size() + 1 > cch)
        return (DWORD)dir.size() + 1;
    CopyString(dir, buf, cch);
    return (DWORD)dir.size();
}

DWORD WINAPI GetCurrentDirectoryA(DWORD cch, LPSTR buf) { return CopyDir(g_machine.currentDir, cch, buf); }
UINT WINAPI GetSystemDirectoryA(LPSTR buf, UINT cch) { return CopyDir(g_machine.systemDir, cch, buf); }

// ---- Process, privileges, shutdown, version, user interface -----------------------------------

VOID WINAPI ExitProcess(UINT code) { throw ProcessExit{code}; }
HANDLE WINAPI GetCurrentProcess(VOID) { return (HANDLE)(LONG_PTR)-1; }
BOOL WINAPI OpenProcessToken(HANDLE, DWORD, PHANDLE token)
{
    *token = (HANDLE)1;
    return TRUE;
}
BOOL WINAPI LookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID luid)
{
    std::memset(luid, 0, sizeof *luid);
    luid->LowPart = 19;
    return TRUE;
}
BOOL WINAPI AdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD)
{
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
DWORD WINAPI InitiateShutdownA(LPSTR, LPSTR message, DWORD delay, DWORD flags, DWORD reason)
{
    g_machine.shutdowns.push_back({message ? message : "", delay, flags, reason});
    return ERROR_SUCCESS;
}
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD mask, DWORDLONG)
{
    if ((mask & VER_PRODUCT_TYPE) && info->wProductType == VER_NT_WORKSTATION && g_machine.workstation)
        return TRUE;
    SetLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
}
ULONGLONG WINAPI VerSetConditionMask(ULONGLONG mask, DWORD, BYTE) { return mask; }

int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR title, UINT type)
{
    g_machine.messageBoxes.push_back({title ? title : "", text ? text : "", type});
    return IDOK;
}

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR, LPCSTR, DWORD) { return (SC_HANDLE)2; }
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE, LPCSTR name, DWORD)
{
    g_machine.serviceCommands.push_back(std::string("open ") + name);
    return (SC_HANDLE)3;
}
BOOL WINAPI ChangeServiceConfigA(SC_HANDLE, DWORD, DWORD start, DWORD, LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR,
                                 LPCSTR, LPCSTR)
{
    g_machine.serviceCommands.push_back(start == SERVICE_DISABLED ? "config disabled" : "config");
    return TRUE;
}
BOOL WINAPI ControlService(SC_HANDLE, DWORD control, LPSERVICE_STATUS)
{
    g_machine.serviceCommands.push_back(control == SERVICE_CONTROL_STOP ? "stop" : "control");
    SetLastError(ERROR_SERVICE_NOT_ACTIVE);
    return FALSE;
}
BOOL WINAPI CloseServiceHandle(SC_HANDLE) { return TRUE; }

// ---- Configuration manager and device installation --------------------------------------------

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD) { return g_machine.pendingInstalls ? WAIT_TIMEOUT : WAIT_OBJECT_0; }
CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST dev, DEVINSTID_A id, ULONG)
{
    if (id) // only the root here
        return CR_NO_SUCH_DEVNODE;
    *dev = 1;
    return CR_SUCCESS;
}
CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dev, ULONG)
{
    if (dev != 1)
        return CR_INVALID_DEVNODE;
    ++g_machine.reenumerations;
    return CR_SUCCESS;
}

BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR name, LPGUID list, DWORD size, PDWORD required)
{
    const GUID *g = GuidOfClass(name);
    if (required)
        *required = g ? 1 : 0;
    if (g && size >= 1)
        *list = *g;
    return TRUE;
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *guid, PCSTR, HWND, DWORD flags)
{
    if (!guid || flags != DIGCF_PROFILE) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    auto *set = new DevSet{*guid, {}, nullptr};
    for (size_t i = 0; i < g_machine.devices.size(); ++i) {
        const Device &d = g_machine.devices[i];
        const GUID *g = GuidOfClass(d.setupClass);
        if (!d.removed && g && SameGuid(*g, *guid))
            set->members.push_back((int)i);
    }
    return set;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *guid, HWND)
{
    return new DevSet{guid ? *guid : GUID{}, {}, nullptr};
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h)
{
    delete static_cast<DevSet *>(h);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data)
{
    auto *set = static_cast<DevSet *>(h);
    if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= set->members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->ClassGuid = set->guid;
    data->DevInst = (DWORD)set->members[index] + 1;
    return TRUE;
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO h, PCSTR name, const GUID *guid, PCSTR, HWND, DWORD flags,
                                     PSP_DEVINFO_DATA data)
{
    auto *set = static_cast<DevSet *>(h);
    if (!(flags & DICD_GENERATE_ID) || set->pending) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    set->pending = std::make_unique<Device>();
    set->pending->setupClass = name;
    set->pending->createdByInstaller = true;
    data->ClassGuid = *guid;
    data->DevInst = kPendingDevInst;
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD prop, const BYTE *buf,
                                              DWORD cb)
{
    Device *d = DeviceOf(static_cast<DevSet *>(h), data);
    if (!d || prop != SPDRP_HARDWAREID) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    d->hardwareIds.clear();
    for (const char *p = (const char *)buf; p < (const char *)buf + cb && *p; p += std::strlen(p) + 1)
        d->hardwareIds.push_back(p);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD prop, PDWORD type, PBYTE buf,
                                              DWORD cb, PDWORD required)
{
    Device *d = DeviceOf(static_cast<DevSet *>(h), data);
    if (!d || prop != SPDRP_HARDWAREID) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::string multi;
    for (auto &id : d->hardwareIds)
        multi += id + '\0';
    multi += '\0';
    if (type)
        *type = REG_MULTI_SZ;
    if (required)
        *required = (DWORD)multi.size();
    if (cb < multi.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buf, multi.data(), multi.size());
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD scope, DWORD, DWORD type, REGSAM)
{
    auto *set = static_cast<DevSet *>(h);
    Device *d = DeviceOf(set, data);
    if (!d || d == set->pending.get() || scope != DICS_FLAG_GLOBAL || type != DIREG_DRV || !d->hasDriverKey) {
        SetLastError(ERROR_KEY_DOES_NOT_EXIST);
        return (HKEY)INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HKEY>(new KeyHandle{"", (int)(data->DevInst - 1)});
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION fn, HDEVINFO h, PSP_DEVINFO_DATA data)
{
    auto *set = static_cast<DevSet *>(h);
    if (fn != DIF_REGISTERDEVICE || !set->pending || data->DevInst != kPendingDevInst) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_machine.devices.push_back(*set->pending);
    set->pending.reset();
    data->DevInst = (DWORD)g_machine.devices.size();
    set->members.push_back((int)g_machine.devices.size() - 1);
    return TRUE;
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO h, PSP_DEVINFO_DATA data)
{
    auto *set = static_cast<DevSet *>(h);
    Device *d = DeviceOf(set, data);
    if (!d || d == set->pending.get()) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    d->removed = true;
    return TRUE;
}

BOOL WINAPI SetupDiGetINFClassA(PCSTR inf, LPGUID guid, PSTR name, DWORD cch, PDWORD required)
{
    auto file = GetFile(inf);
    if (!file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::istringstream in(*file);
    std::string line, cls;
    while (std::getline(in, line)) {
        std::string l = Lower(line);
        if (l.rfind("class ", 0) == 0 || l.rfind("class=", 0) == 0) {
            cls = line.substr(line.find('=') + 1);
            cls.erase(0, cls.find_first_not_of(" \t"));
            cls.erase(cls.find_last_not_of(" \t\r") + 1);
            break;
        }
    }
    const GUID *g = GuidOfClass(cls);
    if (!g) {
        SetLastError(ERROR_INVALID_CLASS);
        return FALSE;
    }
    *guid = *g;
    if (required)
        *required = (DWORD)cls.size() + 1;
    CopyString(cls, name, cch);
    return TRUE;
}

BOOL WINAPI SetupUninstallOEMInfA(PCSTR inf, DWORD, PVOID)
{
    std::string l = Lower(inf);
    if (!g_machine.oemInfs.erase(l)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    g_machine.uninstalledOemInfs.push_back(l);
    return TRUE;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR hwid, LPCSTR inf, DWORD, PBOOL reboot)
{
    std::string id = Lower(hwid);
    g_machine.updateDriverCalls.push_back(id);
    if (reboot)
        *reboot = FALSE;
    auto err = g_machine.updateDriverErrors.find(id);
    if (err != g_machine.updateDriverErrors.end()) {
        SetLastError(err->second);
        return FALSE;
    }
    if (!GetFile(inf)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    bool any = false;
    for (Device &d : g_machine.devices) {
        if (d.removed)
            continue;
        for (auto &h : d.hardwareIds)
            if (Lower(h) == id) {
                std::string oem = "oem" + std::to_string(g_machine.nextOem++) + ".inf";
                g_machine.oemInfs.insert(oem);
                d.hasDriverKey = true;
                d.driverValues["MatchingDeviceId"] = id; // Windows keeps it in lower case
                d.driverValues["ProviderName"] = "Vorka Corporation";
                d.driverValues["DriverDesc"] = "Vorka device " + id;
                d.driverValues["InfPath"] = oem;
                any = true;
                break;
            }
    }
    if (!any) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
