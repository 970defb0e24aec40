// Device installation over the simulated machine: SetupAPI's device
// information sets, classes, registry properties and keys, class installer
// requests (registering and removing devices), OEM INF files in the driver
// store, newdev's UpdateDriverForPlugAndPlayDevices and the configuration
// manager. Devices are the Plug and Play manager's devnodes and the Enum keys
// of the registry; installing a driver writes what an INF says (services,
// filters, registry values, files) and rebuilds the devices' stacks.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "inf.h"
#include "sim/drivers.h"
#include "sim/format.h"
#include "sim/machine.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "sim/win32.h"
#include "sim/win32_setup.h"
#include "cfgmgr32.h"
#include "newdev.h"
#include "setupapi.h"
#include "windows.h"

namespace {

using sim::win32::Disk;
using sim::win32::EqualNoCase;
using sim::win32::Inf;

constexpr char16_t kEnum[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr char16_t kClass[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr char16_t kDriverDatabase[] = u"\\Registry\\Machine\\DRIVERS\\DriverDatabase\\DeviceIds\\";
constexpr char16_t kInfFiles[] = u"\\Registry\\Machine\\DRIVERS\\DriverDatabase\\DriverInfFiles\\";
constexpr char kInfDirectory[] = "C:\\Windows\\INF";
constexpr char kDriverStore[] = "C:\\Windows\\System32\\DriverStore\\FileRepository";

sim::Registry& Reg() { return sim::Machine::Current().registry(); }
std::u16string W(std::string_view s) { return sim::WideFromNarrow(s); }
std::string N(std::u16string_view s) { return sim::NarrowFromWide(s); }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
std::u16string Upper16(std::u16string text) {
    for (char16_t& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

// ---- Setup classes ----------------------------------------------------------------------------

struct KnownClass {
    const char* name;
    const char* guid;
};
// Windows' own setup classes that the simulated devices belong to.
constexpr KnownClass kKnownClasses[] = {
    {"System", "{4d36e97d-e325-11ce-bfc1-08002be10318}"},
    {"TapeDrive", "{6d807884-7d21-11cf-801c-08002be10318}"},
    {"MediumChanger", "{ce5939ae-ebde-11d0-b181-0000f8753ec4}"},
    {"SCSIAdapter", "{4d36e97b-e325-11ce-bfc1-08002be10318}"},
};

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool ParseGuid(std::string_view text, GUID* out) {
    unsigned d1, d2, d3, b[8];
    std::string s(text);
    if (std::sscanf(s.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &b[6], &b[7]) != 11 ||
        s.size() != 38)
        return false;
    out->Data1 = d1;
    out->Data2 = static_cast<USHORT>(d2);
    out->Data3 = static_cast<USHORT>(d3);
    for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<UCHAR>(b[i]);
    return true;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Every class the machine knows: Windows' built-in ones and those INFs registered.
std::vector<std::pair<std::string, GUID>> Classes() {
    std::vector<std::pair<std::string, GUID>> out;
    for (auto& known : kKnownClasses) {
        GUID g{};
        ParseGuid(known.guid, &g);
        out.emplace_back(known.name, g);
    }
    const std::u16string classRoot(kClass, std::char_traits<char16_t>::length(kClass) - 1);
    for (auto& key : Reg().subkeys(classRoot)) {
        GUID g{};
        if (!ParseGuid(N(key), &g)) continue;
        auto name = Reg().string(kClass + key, u"Class");
        if (!name) continue;
        bool seen = false;
        for (auto& [n, known] : out) seen = seen || SameGuid(known, g);
        if (!seen) out.emplace_back(N(*name), g);
    }
    return out;
}

// ---- Device instance numbers (DEVINST) ---------------------------------------------------------

std::mutex gDevInstMutex;
std::vector<std::u16string> gDevInsts;  // DEVINST n is gDevInsts[n - 1]; 1 is the root

DWORD DevInstOf(const std::u16string& instancePath) {
    std::lock_guard lock(gDevInstMutex);
    if (gDevInsts.empty()) gDevInsts.push_back(u"HTREE\\ROOT\\0");
    for (std::size_t i = 0; i < gDevInsts.size(); ++i)
        if (Upper16(gDevInsts[i]) == Upper16(instancePath)) return static_cast<DWORD>(i + 1);
    gDevInsts.push_back(instancePath);
    return static_cast<DWORD>(gDevInsts.size());
}

std::optional<std::u16string> PathOfDevInst(DWORD devInst) {
    std::lock_guard lock(gDevInstMutex);
    if (gDevInsts.empty()) gDevInsts.push_back(u"HTREE\\ROOT\\0");
    if (devInst == 0 || devInst > gDevInsts.size()) return std::nullopt;
    return gDevInsts[devInst - 1];
}

// ---- Device information sets ------------------------------------------------------------------

struct Element {
    std::u16string instancePath;
    GUID classGuid{};
    std::u16string className;
    bool registered = false;
    std::vector<std::u16string> hardwareIds;  // before registration
    std::vector<std::u16string> compatibleIds;
    std::u16string description;
    bool needReboot = false;  // removed from the registry, the stack goes at the next restart
};

struct DeviceInfoSet {
    bool hasClass = false;
    GUID classGuid{};
    std::vector<std::unique_ptr<Element>> elements;
};

std::mutex gSetMutex;
std::set<DeviceInfoSet*> gSets;

DeviceInfoSet* SetOf(HDEVINFO handle) {
    std::lock_guard lock(gSetMutex);
    auto* set = static_cast<DeviceInfoSet*>(handle);
    if (handle == INVALID_HANDLE_VALUE || !gSets.count(set)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return set;
}

HDEVINFO NewSet(std::unique_ptr<DeviceInfoSet> set) {
    std::lock_guard lock(gSetMutex);
    DeviceInfoSet* raw = set.release();
    gSets.insert(raw);
    return raw;
}

// The element a SP_DEVINFO_DATA names, checked against the set.
Element* ElementOf(DeviceInfoSet* set, PSP_DEVINFO_DATA data) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    for (auto& element : set->elements)
        if (reinterpret_cast<ULONG_PTR>(element.get()) == data->Reserved) return element.get();
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

void Describe(const Element& element, PSP_DEVINFO_DATA data) {
    data->ClassGuid = element.classGuid;
    data->DevInst = DevInstOf(element.instancePath);
    data->Reserved = reinterpret_cast<ULONG_PTR>(&element);
}

std::u16string EnumKey(const std::u16string& instancePath) { return kEnum + instancePath; }

// Every device instance the registry knows (present or not): Enum\<enumerator>\<device>\<instance>.
std::vector<std::u16string> RegisteredInstances() {
    std::vector<std::u16string> out;
    const std::u16string root(kEnum, std::char_traits<char16_t>::length(kEnum) - 1);  // without the '\\'
    for (auto& enumerator : Reg().subkeys(root))
        for (auto& device : Reg().subkeys(kEnum + enumerator))
            for (auto& instance : Reg().subkeys(kEnum + enumerator + u"\\" + device))
                out.push_back(enumerator + u"\\" + device + u"\\" + instance);
    return out;
}

bool IsPresent(const std::u16string& instancePath) {
    auto node = sim::Machine::Current().pnp().find(instancePath);
    return node && node->state != sim::DevNodeState::Deleted;
}

std::vector<std::u16string> SplitMultiSz(const BYTE* buffer, DWORD size) {
    std::vector<std::u16string> out;
    std::string current;
    for (DWORD i = 0; i < size; ++i) {
        char c = static_cast<char>(buffer[i]);
        if (c) {
            current += c;
            continue;
        }
        if (current.empty()) break;
        out.push_back(W(current));
        current.clear();
    }
    if (!current.empty()) out.push_back(W(current));
    return out;
}

// ---- INF installation -------------------------------------------------------------------------

std::optional<Inf> ReadInf(const std::string& path, DWORD* error) {
    auto text = Disk::Get().readFile(path);
    if (!text) {
        *error = ERROR_FILE_NOT_FOUND;
        return std::nullopt;
    }
    auto inf = Inf::Parse(*text);
    if (!inf) *error = ERROR_GENERAL_SYNTAX;
    else if (!inf->hasSection("Version")) {
        *error = ERROR_WRONG_INF_STYLE;
        return std::nullopt;
    }
    return inf;
}

std::string DirectoryOf(const std::string& path) {
    auto sep = path.rfind('\\');
    return sep == std::string::npos ? std::string() : path.substr(0, sep);
}

std::string CurrentDirectory() {
    char buffer[4096];
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    return n && n < sizeof buffer ? std::string(buffer, n) : std::string("C:\\");
}

std::string FullPath(LPCSTR path) { return Disk::Normalize(path, CurrentDirectory()); }

// Copies the INF into the INF directory as oemN.inf (the same INF keeps its name) and its
// package folder into the driver store. Returns the oemN.inf name, or empty with `error`.
std::string InstallOemInf(const std::string& source, bool noOverwrite, DWORD* error) {
    Disk& disk = Disk::Get();
    auto text = disk.readFile(source);
    if (!text) {
        *error = ERROR_FILE_NOT_FOUND;
        return {};
    }
    std::lock_guard lock(disk.mutex);
    std::set<int> taken;
    for (auto& name : disk.list(kInfDirectory)) {
        std::string lower = Lower(name);
        int number = 0;
        if (std::sscanf(lower.c_str(), "oem%d.inf", &number) != 1) continue;
        if (lower != "oem" + std::to_string(number) + ".inf") continue;
        taken.insert(number);
        if (disk.readFile(std::string(kInfDirectory) + "\\" + name) == *text) {
            if (noOverwrite) {
                *error = ERROR_FILE_EXISTS;
                return {};
            }
            return lower;
        }
    }
    int number = 0;
    while (taken.count(number)) ++number;
    const std::string name = "oem" + std::to_string(number) + ".inf";
    disk.writeFile(std::string(kInfDirectory) + "\\" + name, *text);
    // The package as it was staged: every file of the INF's folder, for later copies.
    const std::string store = std::string(kDriverStore) + "\\" + name;
    const std::string folder = DirectoryOf(source);
    disk.makeDirectories(store);
    for (auto& file : disk.list(folder))
        if (auto data = disk.readFile(folder + "\\" + file)) disk.writeFile(store + "\\" + file, *data);
    return name;
}

std::string DirectoryOfId(const std::string& id) {
    std::string dirid = id.substr(0, id.find(','));
    long n = std::strtol(dirid.c_str(), nullptr, 10);
    std::string sub = id.find(',') == std::string::npos ? "" : id.substr(id.find(',') + 1);
    std::string base;
    switch (n) {
    case 10: base = "C:\\Windows"; break;
    case 11: base = "C:\\Windows\\System32"; break;
    case 12: base = "C:\\Windows\\System32\\drivers"; break;
    case 13: base = "C:\\Windows\\System32\\DriverStore\\FileRepository"; break;
    case 17: base = kInfDirectory; break;
    default: base = "C:\\Windows\\System32\\drivers"; break;
    }
    while (!sub.empty() && (sub.front() == ' ' || sub.front() == '"')) sub.erase(0, 1);
    while (!sub.empty() && (sub.back() == ' ' || sub.back() == '"')) sub.pop_back();
    return sub.empty() ? base : base + "\\" + sub;
}

// "%12%\x.sys" and the like, as a service's ImagePath.
std::u16string ImagePath(const std::string& binary) {
    std::string path = binary;
    for (auto [id, replacement] : {std::pair{"%12%", "\\SystemRoot\\System32\\drivers"},
                                   std::pair{"%11%", "\\SystemRoot\\System32"},
                                   std::pair{"%10%", "\\SystemRoot"},
                                   std::pair{"%13%", "\\SystemRoot\\System32\\DriverStore\\FileRepository"}}) {
        if (path.rfind(id, 0) == 0) path = replacement + path.substr(std::strlen(id));
    }
    return W(path);
}

// The CopyFiles directives of a section: each file copied from the package folder.
DWORD CopyFiles(const Inf& inf, const std::string& installSection, const std::string& sourceFolder) {
    Disk& disk = Disk::Get();
    for (auto& directive : inf.values(installSection, "CopyFiles")) {
        std::vector<std::pair<std::string, std::string>> files;  // destination, source
        std::string destination;
        if (directive[0] == '@') {
            files.emplace_back(directive.substr(1), directive.substr(1));
            destination = inf.value("DestinationDirs", "DefaultDestDir").value_or("12");
        } else {
            for (auto& line : inf.section(directive)) {
                std::string target = line.key.empty() ? (line.fields.empty() ? "" : line.fields[0]) : line.key;
                if (target.empty()) continue;
                std::string source = line.fields.size() > 1 && !line.fields[1].empty() ? line.fields[1] : target;
                files.emplace_back(target, source);
            }
            auto line = inf.section("DestinationDirs");
            destination = "12";
            bool found = false;
            for (auto& l : line)
                if (EqualNoCase(l.key, directive)) {
                    destination = l.fields.empty() ? "12" : l.fields[0] + (l.fields.size() > 1 ? "," + l.fields[1] : "");
                    found = true;
                }
            if (!found) destination = inf.value("DestinationDirs", "DefaultDestDir").value_or("12");
        }
        const std::string targetDirectory = DirectoryOfId(destination);
        for (auto& [target, source] : files) {
            auto data = disk.readFile(sourceFolder + "\\" + source);
            if (!data) return ERROR_FILE_NOT_FOUND;
            disk.makeDirectories(targetDirectory);
            disk.writeFile(targetDirectory + "\\" + target, *data);
        }
    }
    return ERROR_SUCCESS;
}

struct AddRegTarget {
    std::u16string hkr;  // the key HKR stands for
};

// Applies one AddReg section. Returns the UpperFilters/LowerFilters it set under HKR (which
// the caller needs for the device's stack) through `upper` and `lower` when given.
void AddReg(const Inf& inf, const std::string& section, const std::u16string& hkr,
            std::vector<std::u16string>* upper = nullptr, std::vector<std::u16string>* lower = nullptr) {
    auto& registry = Reg();
    for (auto& line : inf.section(section)) {
        std::vector<std::string> f;
        if (!line.key.empty()) f.push_back(line.key);
        f.insert(f.end(), line.fields.begin(), line.fields.end());
        if (f.empty()) continue;
        std::u16string key;
        if (EqualNoCase(f[0], "HKR")) key = hkr;
        else if (EqualNoCase(f[0], "HKLM") || EqualNoCase(f[0], "HKEY_LOCAL_MACHINE"))
            key = u"\\Registry\\Machine";
        else continue;
        if (f.size() > 1 && !f[1].empty()) key += u"\\" + W(f[1]);
        registry.createKeyPath(key);
        if (f.size() < 3) continue;
        if (f.size() > 3 && (std::strtoul(f[3].c_str(), nullptr, 0) & 0x10)) continue;  // FLG_ADDREG_KEYONLY
        const std::u16string name = W(f[2]);
        const unsigned long flags = f.size() > 3 && !f[3].empty() ? std::strtoul(f[3].c_str(), nullptr, 0) : 0;
        const unsigned long type = flags & 0xFFFF0001;
        std::vector<std::string> data(f.begin() + std::min<std::size_t>(4, f.size()), f.end());
        if ((flags & 0x2) && registry.value(key, name)) continue;  // FLG_ADDREG_NOCLOBBER
        if (type == 0x00010001) {
            registry.setDword(key, name, data.empty() ? 0 : static_cast<std::uint32_t>(std::strtoul(data[0].c_str(), nullptr, 0)));
        } else if (type == 0x00010000) {
            std::vector<std::u16string> strings;
            if (flags & 0x8)  // FLG_ADDREG_APPEND
                if (auto old = registry.multiString(key, name)) strings = *old;
            for (auto& s : data)
                if (std::none_of(strings.begin(), strings.end(), [&](auto& o) { return EqualNoCase(N(o), s); }))
                    strings.push_back(W(s));
            registry.setMultiString(key, name, strings);
            if (key == hkr && upper && EqualNoCase(f[2], "UpperFilters")) *upper = strings;
            if (key == hkr && lower && EqualNoCase(f[2], "LowerFilters")) *lower = strings;
        } else if (type == 0x00020000) {
            registry.setString(key, name, data.empty() ? u"" : W(data[0]), 2 /* REG_EXPAND_SZ */);
        } else {
            registry.setString(key, name, data.empty() ? u"" : W(data[0]));
        }
    }
}

// The model line of the INF that names this hardware ID: description, install section.
struct Model {
    std::string description, installSection, manufacturer, hardwareId;
};

std::optional<Model> FindModel(const Inf& inf, const std::string& hardwareId) {
    for (auto& manufacturer : inf.section("Manufacturer")) {
        if (manufacturer.fields.empty()) continue;
        std::vector<std::string> sections;
        for (std::size_t i = 1; i < manufacturer.fields.size(); ++i)
            if (Lower(manufacturer.fields[i]).rfind("ntamd64", 0) == 0)
                sections.push_back(manufacturer.fields[0] + "." + manufacturer.fields[i]);
        sections.push_back(manufacturer.fields[0]);
        for (auto& section : sections) {
            for (auto& line : inf.section(section)) {
                for (std::size_t i = 1; i < line.fields.size(); ++i)
                    if (EqualNoCase(line.fields[i], hardwareId))
                        return Model{line.key, line.fields[0], manufacturer.key, line.fields[i]};
            }
            if (inf.hasSection(section)) break;  // the decorated section replaces the plain one
        }
    }
    return std::nullopt;
}

// A free driver key of the class: Control\Class\{guid}\NNNN.
std::u16string NewDriverKey(const std::string& classGuid) {
    auto& registry = Reg();
    const std::u16string classKey = kClass + W(classGuid);
    for (int n = 0;; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%04d", n);
        if (!registry.keyExists(classKey + u"\\" + W(name))) return W(classGuid) + u"\\" + W(name);
    }
}

struct DeviceMatch {
    std::u16string instancePath;
};

// What UpdateDriverForPlugAndPlayDevices does; the Win32 error.
DWORD UpdateDriver(const std::string& hardwareId, const std::string& infPath, DWORD flags, bool* rebootRequired) {
    sim::Machine& machine = sim::Machine::Current();
    DWORD error = ERROR_SUCCESS;
    auto inf = ReadInf(infPath, &error);
    if (!inf) return error;
    std::vector<std::u16string> devices;
    for (auto& node : machine.pnp().devices()) {
        if (node.state == sim::DevNodeState::Deleted) continue;
        bool match = false;
        for (auto& id : node.hardwareIds) match = match || EqualNoCase(N(id), hardwareId);
        for (auto& id : node.compatibleIds) match = match || EqualNoCase(N(id), hardwareId);
        if (match) devices.push_back(node.instancePath);
    }
    if (devices.empty()) return ERROR_NO_SUCH_DEVINST;
    auto model = FindModel(*inf, hardwareId);
    if (!model) return ERROR_NO_DRIVER_SELECTED;

    const std::string oemName = InstallOemInf(infPath, false, &error);
    if (oemName.empty()) return error;
    if (!(flags & INSTALLFLAG_FORCE)) {
        bool allCurrent = true;
        for (auto& device : devices) {
            auto driver = Reg().string(EnumKey(device), u"Driver");
            auto inf = driver ? Reg().string(kClass + *driver, u"InfPath") : std::nullopt;
            allCurrent = allCurrent && inf && EqualNoCase(N(*inf), oemName);
        }
        if (allCurrent) return ERROR_NO_MORE_ITEMS;
    }
    const std::string install = inf->decorated(model->installSection);
    const std::string services = inf->decorated(model->installSection, ".Services");
    const std::string hardware = inf->decorated(model->installSection, ".HW");
    const std::string store = std::string(kDriverStore) + "\\" + oemName;
    if (DWORD copy = CopyFiles(*inf, install, store)) return copy;

    // Services: the one flagged SPSVCINST_ASSOCSERVICE (2) drives the device.
    sim::DriverBinding binding;
    binding.hardwareId = W(hardwareId);
    for (auto& line : inf->section(services)) {
        if (!EqualNoCase(line.key, "AddService") || line.fields.empty()) continue;
        const std::string name = line.fields[0];
        const unsigned long serviceFlags =
            line.fields.size() > 1 && !line.fields[1].empty() ? std::strtoul(line.fields[1].c_str(), nullptr, 0) : 0;
        if (line.fields.size() > 2) {
            const std::string section = line.fields[2];
            auto number = [&](const char* key, unsigned long fallback) {
                auto text = inf->value(section, key);
                return text && !text->empty() ? std::strtoul(text->c_str(), nullptr, 0) : fallback;
            };
            const std::u16string key = kServices + W(name);
            machine.drivers().installService(W(name), static_cast<ULONG>(number("StartType", 3)),
                                             static_cast<ULONG>(number("ServiceType", 1)));
            Reg().setDword(key, u"ErrorControl", static_cast<std::uint32_t>(number("ErrorControl", 1)));
            if (auto binary = inf->value(section, "ServiceBinary"))
                Reg().setString(key, u"ImagePath", ImagePath(*binary), 2 /* REG_EXPAND_SZ */);
            if (auto group = inf->value(section, "LoadOrderGroup")) Reg().setString(key, u"Group", W(*group));
            if (auto display = inf->value(section, "DisplayName")) Reg().setString(key, u"DisplayName", W(*display));
            for (auto& addReg : inf->values(section, "AddReg")) AddReg(*inf, addReg, key);
        }
        if (line.fields.size() > 3 && !line.fields[3].empty()) {
            const std::u16string eventKey =
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\EventLog\\System\\" + W(name);
            Reg().createKeyPath(eventKey);
            for (auto& addReg : inf->values(line.fields[3], "AddReg")) AddReg(*inf, addReg, eventKey);
        }
        if (serviceFlags & 0x2) binding.service = W(name);
    }
    if (binding.service.empty()) return ERROR_NO_ASSOCIATED_SERVICE;

    const std::string classGuid = Lower(inf->value("Version", "ClassGuid").value_or(""));
    const std::string className = inf->value("Version", "Class").value_or("");
    const std::string provider = inf->value("Version", "Provider").value_or("");
    const std::string version = inf->value("Version", "DriverVer").value_or("");
    if (!classGuid.empty()) {
        Reg().createKeyPath(kClass + W(classGuid));
        if (!className.empty()) Reg().setString(kClass + W(classGuid), u"Class", W(className));
    }
    for (auto& device : devices) {
        // The device's hardware key gets the INF's .HW values (filters among them) first, so
        // that the rebuilt stack has them.
        std::vector<std::u16string> upper, lower;
        for (auto& addReg : inf->values(hardware, "AddReg")) AddReg(*inf, addReg, EnumKey(device), &upper, &lower);
        if (!upper.empty()) binding.upperFilters = upper;
        if (!lower.empty()) binding.lowerFilters = lower;
    }
    machine.pnp().updateDriverForDevices(binding);
    machine.pnp().processPendingEnumerations();

    // Driver keys: what Device Manager shows and what an uninstaller reads back.
    for (auto& device : devices) {
        const std::u16string enumKey = EnumKey(device);
        if (!Reg().keyExists(enumKey)) continue;
        std::u16string driver = Reg().string(enumKey, u"Driver").value_or(u"");
        if (driver.empty() || !Reg().keyExists(kClass + driver)) driver = NewDriverKey(classGuid.empty() ? "{00000000-0000-0000-0000-000000000000}" : classGuid);
        const std::u16string driverKey = kClass + driver;
        Reg().createKeyPath(driverKey);
        Reg().setString(driverKey, u"MatchingDeviceId", W(Lower(model->hardwareId)));
        Reg().setString(driverKey, u"ProviderName", W(provider));
        Reg().setString(driverKey, u"DriverDesc", W(model->description));
        Reg().setString(driverKey, u"InfPath", W(oemName));
        Reg().setString(driverKey, u"InfSection", W(model->installSection));
        if (!version.empty()) Reg().setString(driverKey, u"DriverVersion", W(version.substr(version.find(',') + 1)));
        for (auto& addReg : inf->values(install, "AddReg")) AddReg(*inf, addReg, driverKey);
        Reg().setString(enumKey, u"Driver", driver);
        if (!classGuid.empty()) Reg().setString(enumKey, u"ClassGUID", W(classGuid));
        if (!className.empty()) Reg().setString(enumKey, u"Class", W(className));
        Reg().setString(enumKey, u"DeviceDesc", W(model->description));
        Reg().setString(enumKey, u"Mfg", W(model->manufacturer));
        auto node = machine.pnp().find(device);
        if (node && node->state != sim::DevNodeState::Started && rebootRequired) *rebootRequired = true;
    }
    // Which device IDs this INF installed, so that uninstalling the INF takes them back.
    const std::u16string record = kInfFiles + W(oemName);
    Reg().createKeyPath(record);
    std::vector<std::u16string> ids = Reg().multiString(record, u"DeviceIds").value_or(std::vector<std::u16string>{});
    if (std::none_of(ids.begin(), ids.end(), [&](auto& id) { return EqualNoCase(N(id), hardwareId); }))
        ids.push_back(W(hardwareId));
    Reg().setMultiString(record, u"DeviceIds", ids);
    return ERROR_SUCCESS;
}

// Removes a device: its stack (query-remove, remove), devnode, Enum key and driver key.
DWORD RemoveDevice(const std::u16string& instancePath, bool* needReboot) {
    sim::Machine& machine = sim::Machine::Current();
    const std::u16string enumKey = EnumKey(instancePath);
    auto driver = Reg().string(enumKey, u"Driver");
    if (IsPresent(instancePath)) {
        // A device whose drivers refuse the removal now goes at the next restart, as on
        // Windows (DI_NEEDREBOOT): its keys go at once, the running stack stays until then.
        NTSTATUS status = machine.pnp().uninstallDevice(instancePath);
        machine.pnp().processPendingEnumerations();
        if (!NT_SUCCESS(status)) *needReboot = true;
    }
    Reg().deleteTree(enumKey);
    if (driver && !driver->empty()) Reg().deleteTree(kClass + *driver);
    return ERROR_SUCCESS;
}

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Copies a narrow string into a caller's buffer with SetupAPI's size rules.
BOOL CopyOut(const std::string& text, PSTR buffer, DWORD size, PDWORD required) {
    if (required) *required = static_cast<DWORD>(text.size() + 1);
    if (!buffer || size < text.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return TRUE;
}

}  // namespace

namespace sim::win32 {

namespace {
std::atomic<bool> gPendingInstallation{false};
}

void SetPendingDeviceInstallation(bool pending) { gPendingInstallation = pending; }

}  // namespace sim::win32

extern "C" {

// ---- Device information sets --------------------------------------------------------------------

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent) {
    auto set = std::make_unique<DeviceInfoSet>();
    if (ClassGuid) {
        set->hasClass = true;
        set->classGuid = *ClassGuid;
    }
    return NewSet(std::move(set));
}

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    if (Flags & DIGCF_DEVICEINTERFACE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    if (!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!sim::Machine::CurrentOrNull()) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<DeviceInfoSet>();
    if (ClassGuid && !(Flags & DIGCF_ALLCLASSES)) {
        set->hasClass = true;
        set->classGuid = *ClassGuid;
    }
    for (auto& instance : RegisteredInstances()) {
        if (Enumerator && *Enumerator) {
            std::string path = N(instance);
            std::string prefix = std::string(Enumerator) + "\\";
            if (path.size() < prefix.size() || !EqualNoCase(path.substr(0, prefix.size()), prefix) ) {
                if (!EqualNoCase(path.substr(0, std::strlen(Enumerator)), Enumerator) ||
                    path[std::strlen(Enumerator)] != '\\')
                    continue;
            }
        }
        GUID guid{};
        auto classText = Reg().string(EnumKey(instance), u"ClassGUID");
        const bool hasClass = classText && ParseGuid(N(*classText), &guid);
        if (set->hasClass && (!hasClass || !SameGuid(guid, set->classGuid))) continue;
        if ((Flags & DIGCF_PRESENT) && !IsPresent(instance)) continue;
        auto element = std::make_unique<Element>();
        element->instancePath = instance;
        element->classGuid = guid;
        element->className = Reg().string(EnumKey(instance), u"Class").value_or(u"");
        element->registered = true;
        set->elements.push_back(std::move(element));
    }
    return NewSet(std::move(set));
}

HDEVINFO SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags) {
    std::string enumerator = Enumerator ? N(reinterpret_cast<const char16_t*>(Enumerator)) : "";
    return SetupDiGetClassDevsA(ClassGuid, Enumerator ? enumerator.c_str() : nullptr, hwndParent, Flags);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::lock_guard lock(gSetMutex);
    auto* set = static_cast<::DeviceInfoSet*>(DeviceInfoSet);
    if (DeviceInfoSet == INVALID_HANDLE_VALUE || !gSets.erase(set)) return Fail(ERROR_INVALID_HANDLE);
    delete set;
    return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (MemberIndex >= set->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
    Describe(*set->elements[MemberIndex], DeviceInfoData);
    return TRUE;
}

BOOL SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName, const GUID* ClassGuid,
                              PCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                              PSP_DEVINFO_DATA DeviceInfoData) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    if (!DeviceName || !*DeviceName || !ClassGuid) return Fail(ERROR_INVALID_PARAMETER);
    if (CreationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) return Fail(ERROR_INVALID_FLAGS);
    if (set->hasClass && !SameGuid(set->classGuid, *ClassGuid)) return Fail(ERROR_CLASS_MISMATCH);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    std::string name = DeviceName;
    std::u16string path;
    if (CreationFlags & DICD_GENERATE_ID) {
        // The name is a root-enumerated device's class part: ROOT\<NAME>\<next free number>.
        if (name.find('\\') != std::string::npos) return Fail(ERROR_INVALID_DEVINST_NAME);
        std::u16string base = u"ROOT\\" + Upper16(W(name)) + u"\\";
        for (int n = 0;; ++n) {
            char number[16];
            std::snprintf(number, sizeof number, "%04d", n);
            path = base + W(number);
            bool inSet = std::any_of(set->elements.begin(), set->elements.end(),
                                     [&](auto& e) { return Upper16(e->instancePath) == Upper16(path); });
            if (!inSet && !Reg().keyExists(EnumKey(path))) break;
        }
    } else {
        path = W(name);
        if (std::count(name.begin(), name.end(), '\\') != 2) return Fail(ERROR_INVALID_DEVINST_NAME);
        if (Reg().keyExists(EnumKey(path))) return Fail(ERROR_DEVINST_ALREADY_EXISTS);
    }
    auto element = std::make_unique<Element>();
    element->instancePath = path;
    element->classGuid = *ClassGuid;
    for (auto& [className, guid] : Classes())
        if (SameGuid(guid, *ClassGuid)) element->className = W(className);
    if (DeviceDescription) element->description = W(DeviceDescription);
    if (DeviceInfoData) Describe(*element, DeviceInfoData);
    set->elements.push_back(std::move(element));
    return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSTR DeviceInstanceId,
                                 DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    Element* element = ElementOf(set, DeviceInfoData);
    if (!element) return FALSE;
    return CopyOut(N(element->instancePath), DeviceInstanceId, DeviceInstanceIdSize, RequiredSize);
}

BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       const BYTE* PropertyBuffer, DWORD PropertyBufferSize) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    Element* element = ElementOf(set, DeviceInfoData);
    if (!element) return FALSE;
    if (PropertyBufferSize && !PropertyBuffer) return Fail(ERROR_INVALID_PARAMETER);
    const char16_t* value = nullptr;
    switch (Property) {
    case SPDRP_HARDWAREID: value = u"HardwareID"; break;
    case SPDRP_COMPATIBLEIDS: value = u"CompatibleIDs"; break;
    case SPDRP_UPPERFILTERS: value = u"UpperFilters"; break;
    case SPDRP_LOWERFILTERS: value = u"LowerFilters"; break;
    case SPDRP_FRIENDLYNAME: value = u"FriendlyName"; break;
    case SPDRP_DEVICEDESC: value = u"DeviceDesc"; break;
    default: return Fail(ERROR_INVALID_REG_PROPERTY);
    }
    const bool multi = Property == SPDRP_HARDWAREID || Property == SPDRP_COMPATIBLEIDS ||
                       Property == SPDRP_UPPERFILTERS || Property == SPDRP_LOWERFILTERS;
    if (!element->registered) {
        if (Property == SPDRP_HARDWAREID) element->hardwareIds = SplitMultiSz(PropertyBuffer, PropertyBufferSize);
        else if (Property == SPDRP_COMPATIBLEIDS)
            element->compatibleIds = SplitMultiSz(PropertyBuffer, PropertyBufferSize);
        else if (Property == SPDRP_DEVICEDESC)
            element->description = SplitMultiSz(PropertyBuffer, PropertyBufferSize).empty()
                                       ? u""
                                       : SplitMultiSz(PropertyBuffer, PropertyBufferSize)[0];
        else return Fail(ERROR_DEVINFO_NOT_REGISTERED);
        return TRUE;
    }
    const std::u16string key = EnumKey(element->instancePath);
    if (!Reg().keyExists(key)) return Fail(ERROR_NO_SUCH_DEVINST);
    auto strings = SplitMultiSz(PropertyBuffer, PropertyBufferSize);
    if (PropertyBufferSize == 0) Reg().deleteValue(key, value);
    else if (multi) Reg().setMultiString(key, value, strings);
    else Reg().setString(key, value, strings.empty() ? u"" : strings[0]);
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    Element* element = ElementOf(set, DeviceInfoData);
    if (!element) return FALSE;
    const char16_t* value = nullptr;
    bool multi = false;
    switch (Property) {
    case SPDRP_DEVICEDESC: value = u"DeviceDesc"; break;
    case SPDRP_HARDWAREID: value = u"HardwareID"; multi = true; break;
    case SPDRP_COMPATIBLEIDS: value = u"CompatibleIDs"; multi = true; break;
    case SPDRP_SERVICE: value = u"Service"; break;
    case SPDRP_CLASS: value = u"Class"; break;
    case SPDRP_CLASSGUID: value = u"ClassGUID"; break;
    case SPDRP_DRIVER: value = u"Driver"; break;
    case SPDRP_MFG: value = u"Mfg"; break;
    case SPDRP_FRIENDLYNAME: value = u"FriendlyName"; break;
    case SPDRP_UPPERFILTERS: value = u"UpperFilters"; multi = true; break;
    case SPDRP_LOWERFILTERS: value = u"LowerFilters"; multi = true; break;
    default: return Fail(ERROR_INVALID_REG_PROPERTY);
    }
    std::string bytes;
    const std::u16string key = EnumKey(element->instancePath);
    if (multi) {
        auto strings = element->registered ? Reg().multiString(key, value) : std::optional(element->hardwareIds);
        if (!strings || strings->empty()) return Fail(ERROR_INVALID_DATA);
        for (auto& s : *strings) bytes += N(s) + '\0';
        bytes += '\0';
    } else {
        auto text = element->registered ? Reg().string(key, value) : std::nullopt;
        if (!text) return Fail(ERROR_INVALID_DATA);
        bytes = N(*text) + '\0';
    }
    if (PropertyRegDataType) *PropertyRegDataType = multi ? REG_MULTI_SZ : REG_SZ;
    if (RequiredSize) *RequiredSize = static_cast<DWORD>(bytes.size());
    if (!PropertyBuffer || PropertyBufferSize < bytes.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(PropertyBuffer, bytes.data(), bytes.size());
    return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD HwProfile,
                          DWORD KeyType, REGSAM samDesired) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    Element* element = ElementOf(set, DeviceInfoData);
    if (!element) return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) {
        SetLastError(ERROR_INVALID_FLAGS);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    std::u16string path;
    if (KeyType == DIREG_DRV) {
        auto driver = Reg().string(EnumKey(element->instancePath), u"Driver");
        if (!driver || driver->empty() || !Reg().keyExists(kClass + *driver)) {
            SetLastError(ERROR_KEY_DOES_NOT_EXIST);
            return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
        }
        path = u"System\\CurrentControlSet\\Control\\Class\\" + *driver;
    } else if (KeyType == DIREG_DEV) {
        path = u"System\\CurrentControlSet\\Enum\\" + element->instancePath + u"\\Device Parameters";
        if (!Reg().keyExists(u"\\Registry\\Machine\\" + path)) {
            SetLastError(ERROR_KEY_DOES_NOT_EXIST);
            return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
        }
    } else {
        SetLastError(ERROR_INVALID_FLAGS);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(path.c_str()), 0, samDesired, &key);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return key;
}

BOOL SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                   PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    if (DeviceInfoData && !ElementOf(set, DeviceInfoData)) return FALSE;
    if (ClassInstallParams && ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
        return Fail(ERROR_INVALID_USER_BUFFER);
    return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    Element* element = ElementOf(set, DeviceInfoData);
    if (!element) return FALSE;
    sim::Machine& machine = sim::Machine::Current();
    switch (InstallFunction) {
    case DIF_REGISTERDEVICE: {
        if (element->registered) return Fail(ERROR_DEVINST_ALREADY_EXISTS);
        // A root device without a hardware ID can get no driver; Windows registers it all the same.
        std::u16string hardwareId = element->hardwareIds.empty() ? u"" : element->hardwareIds[0];
        const std::u16string& path = element->instancePath;
        const std::u16string key = EnumKey(path);
        if (path.rfind(u"ROOT\\", 0) == 0 || Upper16(path).rfind(u"ROOT\\", 0) == 0) {
            // Created through the Plug and Play manager, which numbers root devices itself.
            const std::u16string className = path.substr(5, path.rfind(u'\\') - 5);
            std::u16string created = machine.pnp().createRootDevice(hardwareId, className);
            element->instancePath = created;
        } else {
            Reg().createKeyPath(key);
        }
        const std::u16string finalKey = EnumKey(element->instancePath);
        if (!element->hardwareIds.empty()) Reg().setMultiString(finalKey, u"HardwareID", element->hardwareIds);
        if (!element->compatibleIds.empty()) Reg().setMultiString(finalKey, u"CompatibleIDs", element->compatibleIds);
        Reg().setString(finalKey, u"ClassGUID", W(GuidText(element->classGuid)));
        if (!element->className.empty()) Reg().setString(finalKey, u"Class", element->className);
        if (!element->description.empty()) Reg().setString(finalKey, u"DeviceDesc", element->description);
        element->registered = true;
        if (DeviceInfoData) Describe(*element, DeviceInfoData);
        return TRUE;
    }
    case DIF_REMOVE: {
        if (!element->registered) return Fail(ERROR_DEVINFO_NOT_REGISTERED);
        bool needReboot = false;
        if (DWORD error = RemoveDevice(element->instancePath, &needReboot)) return Fail(error);
        element->needReboot = needReboot;
        return TRUE;
    }
    case DIF_ALLOW_INSTALL:
    case DIF_REGISTER_COINSTALLERS:
    case DIF_INSTALLDEVICEFILES:
    case DIF_SELECTBESTCOMPATDRV:
        return TRUE;
    default:
        // Everything else would need a class installer's dialogs: do the default, i.e. nothing.
        return Fail(ERROR_DI_DO_DEFAULT);
    }
}

BOOL SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
    auto* set = SetOf(DeviceInfoSet);
    if (!set) return FALSE;
    Element* element = ElementOf(set, DeviceInfoData);
    if (!element) return FALSE;
    if (!element->registered) return Fail(ERROR_DEVINFO_NOT_REGISTERED);
    if (!Reg().keyExists(EnumKey(element->instancePath)) && !IsPresent(element->instancePath))
        return Fail(ERROR_NO_SUCH_DEVINST);
    bool needReboot = false;
    if (DWORD error = RemoveDevice(element->instancePath, &needReboot)) return Fail(error);
    element->needReboot = needReboot;
    return TRUE;
}

// ---- Classes and INF files ------------------------------------------------------------------------

BOOL SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                PDWORD RequiredSize) {
    if (!ClassName || !RequiredSize) return Fail(ERROR_INVALID_PARAMETER);
    if (!sim::Machine::CurrentOrNull()) return Fail(ERROR_INVALID_FUNCTION);
    std::vector<GUID> found;
    for (auto& [name, guid] : Classes())
        if (EqualNoCase(name, ClassName)) found.push_back(guid);
    // No class of that name is no error: the list is empty.
    *RequiredSize = static_cast<DWORD>(found.size());
    if (found.size() > ClassGuidListSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (std::size_t i = 0; i < found.size(); ++i) ClassGuidList[i] = found[i];
    return TRUE;
}

BOOL SetupDiClassNameFromGuidA(const GUID* ClassGuid, PSTR ClassName, DWORD ClassNameSize, PDWORD RequiredSize) {
    if (!ClassGuid) return Fail(ERROR_INVALID_PARAMETER);
    for (auto& [name, guid] : Classes())
        if (SameGuid(guid, *ClassGuid)) return CopyOut(name, ClassName, ClassNameSize, RequiredSize);
    return Fail(ERROR_INVALID_CLASS);
}

BOOL SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName, DWORD ClassNameSize, PDWORD RequiredSize) {
    if (!InfName || !ClassGuid) return Fail(ERROR_INVALID_PARAMETER);
    DWORD error = ERROR_SUCCESS;
    auto inf = ReadInf(FullPath(InfName), &error);
    if (!inf) return Fail(error);
    auto guidText = inf->value("Version", "ClassGuid");
    auto name = inf->value("Version", "Class");
    GUID guid{};
    if (guidText && !ParseGuid(*guidText, &guid)) return Fail(ERROR_INVALID_CLASS);
    if (!guidText) {
        if (!name) return Fail(ERROR_NO_ASSOCIATED_CLASS);
        bool known = false;
        for (auto& [n, g] : Classes())
            if (EqualNoCase(n, *name)) guid = g, known = true;
        if (!known) return Fail(ERROR_INVALID_CLASS);
    }
    *ClassGuid = guid;
    std::string className = name.value_or("");
    if (className.empty())
        for (auto& [n, g] : Classes())
            if (SameGuid(g, guid)) className = n;
    if (className.size() >= MAX_CLASS_NAME_LEN) return Fail(ERROR_INVALID_CLASS);
    return CopyOut(className, ClassName, ClassNameSize, RequiredSize);
}

BOOL SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                      DWORD CopyStyle, PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                      PDWORD RequiredSize, PSTR* DestinationInfFileNameComponent) {
    if (!SourceInfFileName || OEMSourceMediaType >= SPOST_MAX) return Fail(ERROR_INVALID_PARAMETER);
    DWORD error = ERROR_SUCCESS;
    const std::string source = FullPath(SourceInfFileName);
    if (!ReadInf(source, &error)) return Fail(error);
    const std::string name = InstallOemInf(source, CopyStyle & SP_COPY_NOOVERWRITE, &error);
    if (name.empty()) return Fail(error);
    const std::string full = std::string(kInfDirectory) + "\\" + name;
    if (RequiredSize) *RequiredSize = static_cast<DWORD>(full.size() + 1);
    if (DestinationInfFileName) {
        if (DestinationInfFileNameSize < full.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(DestinationInfFileName, full.c_str(), full.size() + 1);
        if (DestinationInfFileNameComponent)
            *DestinationInfFileNameComponent = DestinationInfFileName + (full.size() - name.size());
    }
    return TRUE;
}

BOOL SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved) {
    if (!InfFileName || Reserved || (Flags & ~SUOI_FORCEDELETE)) return Fail(ERROR_INVALID_PARAMETER);
    std::string name = InfFileName;
    // Only the name of an installed INF, without a path.
    if (name.find('\\') != std::string::npos || name.find('/') != std::string::npos)
        return Fail(ERROR_INVALID_NAME);
    Disk& disk = Disk::Get();
    const std::string path = std::string(kInfDirectory) + "\\" + name;
    if (!disk.fileExists(path)) return Fail(ERROR_FILE_NOT_FOUND);
    // Devices still installed from it keep it unless forced.
    if (!(Flags & SUOI_FORCEDELETE)) {
        for (auto& instance : RegisteredInstances()) {
            auto driver = Reg().string(EnumKey(instance), u"Driver");
            auto inf = driver ? Reg().string(kClass + *driver, u"InfPath") : std::nullopt;
            if (inf && EqualNoCase(N(*inf), name) && IsPresent(instance)) return Fail(ERROR_INF_IN_USE_BY_DEVICES);
        }
    }
    const std::u16string record = kInfFiles + W(Lower(name));
    for (auto& id : Reg().multiString(record, u"DeviceIds").value_or(std::vector<std::u16string>{}))
        Reg().deleteTree(kDriverDatabase + id);
    Reg().deleteTree(record);
    {
        std::lock_guard lock(disk.mutex);
        std::string key = Disk::Normalize(path);
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        disk.entries.erase(key);
        const std::string store = std::string(kDriverStore) + "\\" + Lower(name);
        std::string prefix = Disk::Normalize(store);
        for (char& c : prefix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (auto it = disk.entries.begin(); it != disk.entries.end();) {
            if (it->first == prefix || it->first.rfind(prefix + "\\", 0) == 0) it = disk.entries.erase(it);
            else ++it;
        }
    }
    return TRUE;
}

// ---- Device installation library ----------------------------------------------------------------

BOOL UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath, DWORD InstallFlags,
                                        PBOOL bRebootRequired) {
    if (!HardwareId || !*HardwareId || !FullInfPath) return Fail(ERROR_INVALID_PARAMETER);
    if (InstallFlags & ~INSTALLFLAG_BITS) return Fail(ERROR_INVALID_FLAGS);
    if (!sim::Machine::CurrentOrNull()) return Fail(ERROR_INVALID_FUNCTION);
    bool reboot = false;
    DWORD error = UpdateDriver(HardwareId, FullPath(FullInfPath), InstallFlags, &reboot);
    if (bRebootRequired) *bRebootRequired = reboot;
    if (error) return Fail(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath, DWORD InstallFlags,
                                        PBOOL bRebootRequired) {
    if (!HardwareId || !FullInfPath) return Fail(ERROR_INVALID_PARAMETER);
    std::string id = N(reinterpret_cast<const char16_t*>(HardwareId));
    std::string inf = N(reinterpret_cast<const char16_t*>(FullInfPath));
    return UpdateDriverForPlugAndPlayDevicesA(hwndParent, id.c_str(), inf.c_str(), InstallFlags, bRebootRequired);
}

// ---- Configuration manager ------------------------------------------------------------------------

CONFIGRET CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    if (!pdnDevInst) return CR_INVALID_POINTER;
    if (ulFlags & ~CM_LOCATE_DEVNODE_BITS) return CR_INVALID_FLAG;
    if (!sim::Machine::CurrentOrNull()) return CR_FAILURE;
    if (!pDeviceID || !*pDeviceID) {
        *pdnDevInst = DevInstOf(u"HTREE\\ROOT\\0");
        return CR_SUCCESS;
    }
    std::u16string path = W(pDeviceID);
    if (Upper16(path) == u"HTREE\\ROOT\\0") {
        *pdnDevInst = DevInstOf(path);
        return CR_SUCCESS;
    }
    if (std::count(path.begin(), path.end(), u'\\') != 2) return CR_INVALID_DEVICE_ID;
    const bool present = IsPresent(path);
    if (!present && !((ulFlags & CM_LOCATE_DEVNODE_PHANTOM) && Reg().keyExists(EnumKey(path))))
        return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = DevInstOf(sim::Machine::Current().pnp().find(path) ? sim::Machine::Current().pnp().find(path)->instancePath : path);
    return CR_SUCCESS;
}

CONFIGRET CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
    std::string id = pDeviceID ? N(reinterpret_cast<const char16_t*>(pDeviceID)) : "";
    return CM_Locate_DevNodeA(pdnDevInst, pDeviceID ? id.data() : nullptr, ulFlags);
}

CONFIGRET CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    if (ulFlags & ~CM_REENUMERATE_BITS) return CR_INVALID_FLAG;
    auto path = PathOfDevInst(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    if (!machine) return CR_FAILURE;
    const bool root = Upper16(*path) == u"HTREE\\ROOT\\0";
    if (!root && !IsPresent(*path)) return CR_NO_SUCH_DEVINST;
    // As "scan for hardware changes": the devnode and, below it, every started bus.
    machine->pnp().reenumerate(root ? std::u16string() : *path);
    machine->pnp().processPendingEnumerations();
    std::set<std::u16string> done;
    for (bool more = true; more;) {
        more = false;
        for (auto& node : machine->pnp().devices()) {
            if (node.state != sim::DevNodeState::Started || done.count(Upper16(node.instancePath))) continue;
            bool below = root;
            for (auto parent = node.parent; !below && !parent.empty();) {
                below = Upper16(parent) == Upper16(*path);
                auto up = machine->pnp().find(parent);
                parent = up ? up->parent : std::u16string();
            }
            if (!below) continue;
            done.insert(Upper16(node.instancePath));
            machine->pnp().reenumerate(node.instancePath);
            machine->pnp().processPendingEnumerations();
            more = true;
        }
    }
    return CR_SUCCESS;
}

CONFIGRET CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst, ULONG ulFlags) {
    if (!pulStatus || !pulProblemNumber) return CR_INVALID_POINTER;
    if (ulFlags) return CR_INVALID_FLAG;
    auto path = PathOfDevInst(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    if (!machine) return CR_FAILURE;
    if (Upper16(*path) == u"HTREE\\ROOT\\0") {
        *pulStatus = DN_DRIVER_LOADED | DN_STARTED;
        *pulProblemNumber = 0;
        return CR_SUCCESS;
    }
    auto node = machine->pnp().find(*path);
    if (!node || node->state == sim::DevNodeState::Deleted) return CR_NO_SUCH_DEVINST;
    ULONG status = 0, problem = 0;
    if (Upper16(node->instancePath).rfind(u"ROOT\\", 0) == 0) status |= DN_ROOT_ENUMERATED;
    switch (node->state) {
    case sim::DevNodeState::Started:
    case sim::DevNodeState::QueryStopped:
    case sim::DevNodeState::QueryRemoved:
        status |= DN_DRIVER_LOADED | DN_STARTED;
        break;
    case sim::DevNodeState::Initialized:
    case sim::DevNodeState::Stopped:
        status |= DN_DRIVER_LOADED;
        break;
    case sim::DevNodeState::StartFailed:
        status |= DN_HAS_PROBLEM;
        problem = CM_PROB_FAILED_START;
        break;
    case sim::DevNodeState::NoDriver:
        status |= DN_HAS_PROBLEM;
        problem = node->service.empty() ? CM_PROB_NOT_CONFIGURED : CM_PROB_DRIVER_FAILED_LOAD;
        break;
    default:
        status |= DN_HAS_PROBLEM;
        problem = CM_PROB_FAILED_ADD;
        break;
    }
    *pulStatus = status;
    *pulProblemNumber = problem;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDA(DEVINST dnDevInst, PSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    if (!Buffer) return CR_INVALID_POINTER;
    auto path = PathOfDevInst(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    std::string id = N(*path);
    if (BufferLen < id.size() + 1) {
        if (BufferLen) std::memcpy(Buffer, id.data(), std::min<std::size_t>(BufferLen, id.size()));
        return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, id.c_str(), id.size() + 1);
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    if (!pulLen) return CR_INVALID_POINTER;
    auto path = PathOfDevInst(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    *pulLen = static_cast<ULONG>(path->size());
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (!pdnDevInst) return CR_INVALID_POINTER;
    auto path = PathOfDevInst(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    auto node = sim::Machine::Current().pnp().find(*path);
    if (!node) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = DevInstOf(node->parent.empty() ? u"HTREE\\ROOT\\0" : node->parent);
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (!pdnDevInst) return CR_INVALID_POINTER;
    auto path = PathOfDevInst(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    auto& pnp = sim::Machine::Current().pnp();
    if (Upper16(*path) == u"HTREE\\ROOT\\0") {
        for (auto& node : pnp.devices())
            if (node.parent.empty()) {
                *pdnDevInst = DevInstOf(node.instancePath);
                return CR_SUCCESS;
            }
        return CR_NO_SUCH_DEVNODE;
    }
    auto node = pnp.find(*path);
    if (!node || node->children.empty()) return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = DevInstOf(node->children.front());
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    if (!pdnDevInst) return CR_INVALID_POINTER;
    auto path = PathOfDevInst(dnDevInst);
    if (!path) return CR_INVALID_DEVNODE;
    auto& pnp = sim::Machine::Current().pnp();
    auto node = pnp.find(*path);
    if (!node) return CR_NO_SUCH_DEVNODE;
    std::vector<std::u16string> siblings;
    if (node->parent.empty()) {
        for (auto& other : pnp.devices())
            if (other.parent.empty()) siblings.push_back(other.instancePath);
    } else if (auto parent = pnp.find(node->parent)) {
        siblings = parent->children;
    }
    for (std::size_t i = 0; i + 1 < siblings.size(); ++i)
        if (Upper16(siblings[i]) == Upper16(node->instancePath)) {
            *pdnDevInst = DevInstOf(siblings[i + 1]);
            return CR_SUCCESS;
        }
    return CR_NO_SUCH_DEVNODE;
}

DWORD CMP_WaitNoPendingInstallEvents(DWORD dwTimeout) {
    if (sim::Machine* machine = sim::Machine::CurrentOrNull()) machine->pnp().processPendingEnumerations();
    if (!sim::win32::gPendingInstallation) return WAIT_OBJECT_0;
    if (dwTimeout != INFINITE && dwTimeout) Sleep(std::min<DWORD>(dwTimeout, 50));
    return WAIT_TIMEOUT;
}

}  // extern "C"
