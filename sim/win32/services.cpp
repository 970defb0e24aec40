// The service control manager (advapi32) over the simulated machine: a
// service is its key under Services; kernel driver services start and stop
// as the machine's drivers, other services only have their configuration.
#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/drivers.h"
#include "sim/format.h"
#include "sim/machine.h"
#include "sim/registry.h"
#include "sim/win32.h"
#include "ntstatus.h"
#include "sim/pnp.h"
#include "windows.h"
#include "winsvc.h"

namespace {

constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

struct ScObject {
    bool manager = false;
    std::u16string service;
    DWORD access = 0;
};

std::mutex gMutex;
std::vector<std::unique_ptr<ScObject>> gObjects;

ScObject* Find(SC_HANDLE handle) {
    std::lock_guard lock(gMutex);
    for (auto& object : gObjects)
        if (reinterpret_cast<SC_HANDLE>(object.get()) == handle) return object.get();
    return nullptr;
}

SC_HANDLE Add(std::unique_ptr<ScObject> object) {
    std::lock_guard lock(gMutex);
    gObjects.push_back(std::move(object));
    return reinterpret_cast<SC_HANDLE>(gObjects.back().get());
}

sim::Machine* MachineOrFail() {
    sim::Machine* machine = sim::Machine::CurrentOrNull();
    if (!machine) SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return machine;
}

// The service behind an open handle that grants `access`, or nullptr with the error set.
ScObject* Service(SC_HANDLE handle, DWORD access) {
    ScObject* object = Find(handle);
    if (!object || object->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((object->access & access) != access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    sim::Machine* machine = MachineOrFail();
    if (!machine) return nullptr;
    if (!machine->registry().keyExists(kServices + object->service)) {
        SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return nullptr;
    }
    return object;
}

bool IsDriver(sim::Machine& machine, const std::u16string& service) {
    auto type = machine.registry().dword(kServices + service, u"Type");
    return type && (*type & (SERVICE_KERNEL_DRIVER | SERVICE_FILE_SYSTEM_DRIVER));
}

// True when a device stack of the machine uses the driver (as function driver or filter).
bool DriverHasDevices(sim::Machine& machine, const std::u16string& service) {
    auto same = [&](const std::u16string& name) { return sim::NarrowFromWide(name) == sim::NarrowFromWide(service); };
    for (auto& node : machine.pnp().devices()) {
        if (node.stack.size() < 2) continue;
        if (same(node.service)) return true;
        const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + node.instancePath;
        for (const char16_t* value : {u"UpperFilters", u"LowerFilters"})
            for (auto& filter : machine.registry().multiString(key, value).value_or(std::vector<std::u16string>{}))
                if (same(filter)) return true;
    }
    return false;
}

}  // namespace

extern "C" {

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (lpMachineName && *lpMachineName) {
        SetLastError(ERROR_BAD_NETPATH);
        return nullptr;
    }
    if (lpDatabaseName && std::string(lpDatabaseName) != SERVICES_ACTIVE_DATABASEA) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    auto object = std::make_unique<ScObject>();
    object->manager = true;
    object->access = dwDesiredAccess;
    return Add(std::move(object));
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    ScObject* manager = Find(hSCManager);
    if (!manager || !manager->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    sim::Machine* machine = MachineOrFail();
    if (!machine) return nullptr;
    std::u16string name = sim::WideFromNarrow(lpServiceName);
    if (!machine->registry().keyExists(kServices + name) ||
        !machine->registry().dword(kServices + name, u"Type")) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    auto object = std::make_unique<ScObject>();
    object->service = name;
    object->access = dwDesiredAccess;
    return Add(std::move(object));
}

SC_HANDLE CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCSTR lpBinaryPathName,
                         LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCSTR lpDependencies,
                         LPCSTR lpServiceStartName, LPCSTR lpPassword) {
    ScObject* manager = Find(hSCManager);
    if (!manager || !manager->manager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!(manager->access & SC_MANAGER_CREATE_SERVICE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName || !lpBinaryPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    sim::Machine* machine = MachineOrFail();
    if (!machine) return nullptr;
    std::u16string name = sim::WideFromNarrow(lpServiceName);
    std::u16string key = kServices + name;
    auto& registry = machine->registry();
    if (registry.dword(key, u"Type")) {
        SetLastError(ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    registry.createKeyPath(key);
    registry.setDword(key, u"Type", dwServiceType);
    registry.setDword(key, u"Start", dwStartType);
    registry.setDword(key, u"ErrorControl", dwErrorControl);
    registry.setString(key, u"ImagePath", sim::WideFromNarrow(lpBinaryPathName), 2 /* REG_EXPAND_SZ */);
    if (lpDisplayName) registry.setString(key, u"DisplayName", sim::WideFromNarrow(lpDisplayName));
    if (lpLoadOrderGroup && *lpLoadOrderGroup) registry.setString(key, u"Group", sim::WideFromNarrow(lpLoadOrderGroup));
    auto object = std::make_unique<ScObject>();
    object->service = name;
    object->access = dwDesiredAccess;
    return Add(std::move(object));
}

BOOL ChangeServiceConfigA(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                          LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                          LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR lpPassword,
                          LPCSTR lpDisplayName) {
    ScObject* service = Service(hService, SERVICE_CHANGE_CONFIG);
    if (!service) return FALSE;
    if (dwStartType != SERVICE_NO_CHANGE && dwStartType > SERVICE_DISABLED) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& registry = sim::Machine::Current().registry();
    std::u16string key = kServices + service->service;
    if (dwServiceType != SERVICE_NO_CHANGE) registry.setDword(key, u"Type", dwServiceType);
    if (dwStartType != SERVICE_NO_CHANGE) registry.setDword(key, u"Start", dwStartType);
    if (dwErrorControl != SERVICE_NO_CHANGE) registry.setDword(key, u"ErrorControl", dwErrorControl);
    if (lpBinaryPathName)
        registry.setString(key, u"ImagePath", sim::WideFromNarrow(lpBinaryPathName), 2 /* REG_EXPAND_SZ */);
    if (lpDisplayName) registry.setString(key, u"DisplayName", sim::WideFromNarrow(lpDisplayName));
    return TRUE;
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    ScObject* service = Service(hService, SERVICE_START);
    if (!service) return FALSE;
    sim::Machine& machine = sim::Machine::Current();
    auto start = machine.registry().dword(kServices + service->service, u"Start");
    if (start && *start == SERVICE_DISABLED) {
        SetLastError(ERROR_SERVICE_DISABLED);
        return FALSE;
    }
    if (!IsDriver(machine, service->service)) {
        // No user-mode service programs run on the simulated machine.
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        return FALSE;
    }
    NTSTATUS status = machine.drivers().load(service->service);
    if (status == STATUS_IMAGE_ALREADY_LOADED) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(sim::win32::DosErrorFromNtStatus(status));
        return FALSE;
    }
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    ScObject* service = Service(hService, SERVICE_QUERY_STATUS);
    if (!service) return FALSE;
    if (!lpServiceStatus) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::Machine& machine = sim::Machine::Current();
    *lpServiceStatus = {};
    lpServiceStatus->dwServiceType = machine.registry().dword(kServices + service->service, u"Type").value_or(0);
    const bool running = IsDriver(machine, service->service) && machine.drivers().isLoaded(service->service);
    lpServiceStatus->dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    lpServiceStatus->dwControlsAccepted = running ? SERVICE_ACCEPT_STOP : 0;
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    const DWORD access = dwControl == SERVICE_CONTROL_STOP ? SERVICE_STOP
                         : dwControl == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                                                                     : SERVICE_PAUSE_CONTINUE;
    ScObject* service = Service(hService, access);
    if (!service) return FALSE;
    sim::Machine& machine = sim::Machine::Current();
    const bool running = IsDriver(machine, service->service) && machine.drivers().isLoaded(service->service);
    if (!running) {
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    if (dwControl != SERVICE_CONTROL_STOP) {
        SetLastError(dwControl == SERVICE_CONTROL_INTERROGATE ? ERROR_SUCCESS : ERROR_INVALID_SERVICE_CONTROL);
        if (dwControl != SERVICE_CONTROL_INTERROGATE) return FALSE;
    } else {
        // A driver whose devices are still there (a Plug and Play driver in use) cannot be
        // stopped through the service control manager.
        if (DriverHasDevices(machine, service->service)) {
            SetLastError(ERROR_INVALID_SERVICE_CONTROL);
            return FALSE;
        }
        NTSTATUS status = machine.drivers().unload(service->service);
        if (!NT_SUCCESS(status)) {
            // A driver with devices or without an unload routine cannot be stopped.
            SetLastError(ERROR_INVALID_SERVICE_CONTROL);
            return FALSE;
        }
    }
    if (lpServiceStatus) {
        *lpServiceStatus = {};
        lpServiceStatus->dwServiceType = SERVICE_KERNEL_DRIVER;
        lpServiceStatus->dwCurrentState = machine.drivers().isLoaded(service->service) ? SERVICE_RUNNING : SERVICE_STOPPED;
    }
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    ScObject* service = Service(hService, DELETE);
    if (!service) return FALSE;
    sim::Machine& machine = sim::Machine::Current();
    if (IsDriver(machine, service->service) && machine.drivers().isLoaded(service->service)) {
        // A running service is marked and goes when it stops; a loaded driver here until reboot.
        machine.registry().setDword(kServices + service->service, u"DeleteFlag", 1);
        return TRUE;
    }
    machine.registry().deleteTree(kServices + service->service);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    std::lock_guard lock(gMutex);
    auto it = std::find_if(gObjects.begin(), gObjects.end(),
                           [&](auto& o) { return reinterpret_cast<SC_HANDLE>(o.get()) == hSCObject; });
    if (it == gObjects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    gObjects.erase(it);
    return TRUE;
}

}  // extern "C"
