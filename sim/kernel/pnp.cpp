// The Plug and Play manager: the device tree, the built-in root bus driver
// that owns root-enumerated PDOs, device installation from the registry
// (Enum keys, services, filters, the driver database), stack building in
// Windows order, and every state change as the real IRP sequence. All tree
// work runs on the PnP worker thread.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kinternal.h"
#include "sim/registry.h"

using sim::ReportViolation;

namespace sim {

const char* DevNodeStateName(DevNodeState state) {
    switch (state) {
    case DevNodeState::NoDriver: return "NoDriver";
    case DevNodeState::Initialized: return "Initialized";
    case DevNodeState::Started: return "Started";
    case DevNodeState::QueryStopped: return "QueryStopped";
    case DevNodeState::Stopped: return "Stopped";
    case DevNodeState::QueryRemoved: return "QueryRemoved";
    case DevNodeState::SurpriseRemoved: return "SurpriseRemoved";
    case DevNodeState::Removed: return "Removed";
    case DevNodeState::StartFailed: return "StartFailed";
    case DevNodeState::Deleted: return "Deleted";
    }
    return "?";
}

}  // namespace sim

namespace sim::k {
namespace {

constexpr std::u16string_view kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
constexpr std::u16string_view kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
// Start type of a service without a Start value: demand start.
constexpr ULONG kDemandStart = 3;
constexpr std::u16string_view kDriverDatabase = u"\\Registry\\Machine\\DRIVERS\\DriverDatabase\\DeviceIds\\";

PnpManager::Impl& Pnp() { return *Kernel().pnp; }
Registry& Reg() { return *Kernel().registry; }

std::u16string EnumKey(const DevNode& node) { return std::u16string(kEnum) + node.instancePath; }

// Devnode fields change on the PnP worker only, under the tree lock, so that readers on
// other threads (queries, IoGetDeviceProperty) see them consistently.
void SetState(DevNode& node, DevNodeState state) {
    std::lock_guard lock(Pnp().treeMutex);
    node.state = state;
}
void SetState(DevNode& node, DevNodeState state, NTSTATUS problem) {
    std::lock_guard lock(Pnp().treeMutex);
    node.state = state;
    node.problem = problem;
}
template <typename Field, typename Value>
void SetField(Field& field, Value&& value) {
    std::lock_guard lock(Pnp().treeMutex);
    field = std::forward<Value>(value);
}

std::vector<DEVICE_OBJECT*> StackOf(const DevNode& node) {
    std::vector<DEVICE_OBJECT*> stack;
    if (!node.pdo) return stack;
    std::lock_guard lock(Kernel().ioLock);
    for (DEVICE_OBJECT* device = node.pdo; device; device = device->AttachedDevice) stack.push_back(device);
    return stack;
}

bool HasDriverStack(const DevNode& node) {
    return node.state == DevNodeState::Initialized || node.state == DevNodeState::Started ||
           node.state == DevNodeState::Stopped || node.state == DevNodeState::QueryStopped ||
           node.state == DevNodeState::QueryRemoved || node.state == DevNodeState::SurpriseRemoved;
}

// Children before their parents, the node itself last.
void Subtree(DevNode* node, std::vector<DevNode*>& out) {
    for (DevNode* child : node->children) Subtree(child, out);
    out.push_back(node);
}

DevNode* FindByPath(std::u16string_view path) {
    auto& pnp = Pnp();
    for (auto& node : pnp.nodes)
        if (EqualNoCase(node->instancePath, path)) return node.get();
    return nullptr;
}

DEVICE_OBJECT* PdoOf(DEVICE_OBJECT* device) {
    std::lock_guard lock(Kernel().ioLock);
    while (device && ExtraOf(device)->attachedTo) device = ExtraOf(device)->attachedTo;
    return device;
}

void MarkStack(const DevNode& node, bool removePending, bool removeProcessed) {
    std::lock_guard lock(Kernel().ioLock);
    for (DEVICE_OBJECT* device = node.pdo; device; device = device->AttachedDevice) {
        ExtraOf(device)->removePending = removePending;
        if (removeProcessed) ExtraOf(device)->removeProcessed = true;
    }
}

NTSTATUS SendPnp(DevNode& node, UCHAR minor, const std::function<void(IRP*, IO_STACK_LOCATION*)>& setup = {},
                 ULONG_PTR* information = nullptr) {
    DEVICE_OBJECT* top = AttachedTop(node.pdo);
    return SendSync(top, SyncRequest{IRP_MJ_PNP, minor, nullptr, KernelMode, STATUS_NOT_SUPPORTED, 0, setup},
                    information);
}

// Removes the devnode from the tree; its PDO reference goes.
void EraseNode(DevNode* node) {
    auto& pnp = Pnp();
    std::vector<DevNode*> doomed;
    Subtree(node, doomed);
    std::vector<DEVICE_OBJECT*> pdos;
    {
        std::lock_guard lock(pnp.treeMutex);
        if (node->parent) {
            auto& siblings = node->parent->children;
            siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
        }
        for (DevNode* gone : doomed) {
            if (gone->pdo) {
                ExtraOf(gone->pdo)->devnode = nullptr;
                pdos.push_back(gone->pdo);
            }
            pnp.nodes.erase(std::remove_if(pnp.nodes.begin(), pnp.nodes.end(),
                                           [gone](const std::unique_ptr<DevNode>& n) { return n.get() == gone; }),
                            pnp.nodes.end());
        }
    }
    for (DEVICE_OBJECT* pdo : pdos) Dereference(pdo);
}

// ---- Driver database and Enum keys -----------------------------------------------------------

std::optional<DriverBinding> FindBinding(const DevNode& node) {
    std::vector<std::u16string> ids = node.hardwareIds;
    ids.insert(ids.end(), node.compatibleIds.begin(), node.compatibleIds.end());
    for (auto& id : ids) {
        std::u16string key = std::u16string(kDriverDatabase) + id;
        auto service = Reg().string(key, u"Service");
        if (!service) continue;
        DriverBinding binding;
        binding.hardwareId = id;
        binding.service = *service;
        if (auto upper = Reg().multiString(key, u"UpperFilters")) binding.upperFilters = *upper;
        if (auto lower = Reg().multiString(key, u"LowerFilters")) binding.lowerFilters = *lower;
        return binding;
    }
    return std::nullopt;
}

void WriteFilters(const std::u16string& key, std::u16string_view name, const std::vector<std::u16string>& filters) {
    if (filters.empty()) Reg().deleteValue(key, name);
    else Reg().setMultiString(key, name, filters);
}

void InstallBinding(const DevNode& node, const DriverBinding& binding) {
    std::u16string key = EnumKey(node);
    Reg().createKeyPath(key);
    Reg().setString(key, u"Service", binding.service);
    WriteFilters(key, u"UpperFilters", binding.upperFilters);
    WriteFilters(key, u"LowerFilters", binding.lowerFilters);
}

void StoreBinding(const DriverBinding& binding) {
    std::u16string key = std::u16string(kDriverDatabase) + binding.hardwareId;
    Reg().createKeyPath(key);
    Reg().setString(key, u"Service", binding.service);
    WriteFilters(key, u"UpperFilters", binding.upperFilters);
    WriteFilters(key, u"LowerFilters", binding.lowerFilters);
}

bool Matches(const DevNode& node, std::u16string_view id) {
    for (auto& own : node.hardwareIds)
        if (EqualNoCase(own, id)) return true;
    for (auto& own : node.compatibleIds)
        if (EqualNoCase(own, id)) return true;
    return false;
}

// ---- Building, starting, removing ----------------------------------------------------------------

void TeardownFailedStack(DevNode& node) {
    if (AttachedTop(node.pdo) != node.pdo) SendPnp(node, IRP_MN_REMOVE_DEVICE);
    UnloadUnusedDrivers();
}

bool BuildStack(DevNode& node) {
    std::u16string key = EnumKey(node);
    auto service = Reg().string(key, u"Service");
    if (!service || service->empty()) {
        if (auto binding = FindBinding(node)) {
            InstallBinding(node, *binding);
            service = binding->service;
        }
    }
    if (!service || service->empty()) {
        SetState(node, DevNodeState::NoDriver, STATUS_PLUGPLAY_NO_DEVICE);
        return false;
    }
    SetField(node.service, *service);
    std::vector<std::u16string> order;
    if (auto lower = Reg().multiString(key, u"LowerFilters")) order = *lower;
    order.push_back(*service);
    if (auto upper = Reg().multiString(key, u"UpperFilters")) order.insert(order.end(), upper->begin(), upper->end());

    for (auto& name : order) {
        if (name.empty()) continue;
        DRIVER_OBJECT* driver = nullptr;
        NTSTATUS status = LoadDriverForDevice(name, &driver);
        if (!NT_SUCCESS(status)) {
            SetState(node, DevNodeState::NoDriver, status);
            TeardownFailedStack(node);
            return false;
        }
        PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
        if (!addDevice) {
            SetState(node, DevNodeState::NoDriver, STATUS_INVALID_DEVICE_REQUEST);
            TeardownFailedStack(node);
            return false;
        }
        DEVICE_OBJECT* before = AttachedTop(node.pdo);
        auto& state = Current();
        status = addDevice(driver, node.pdo);
        if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld) {
            ReportViolation("AddDevice of " + Narrow(name) + " returned at IRQL " + std::to_string(state.irql) +
                            " with " + std::to_string(state.spinLocksHeld) + " spin lock(s)");
            state.irql = PASSIVE_LEVEL;
            state.spinLocksHeld = 0;
        }
        if (!NT_SUCCESS(status)) {
            SetState(node, DevNodeState::NoDriver, status);
            TeardownFailedStack(node);
            return false;
        }
        DEVICE_OBJECT* top = AttachedTop(node.pdo);
        if (top != before && (top->Flags & DO_DEVICE_INITIALIZING)) {
            ReportViolation("AddDevice of " + Narrow(name) + " left DO_DEVICE_INITIALIZING set on its device " +
                            DeviceLabel(top));
            top->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    SetState(node, DevNodeState::Initialized, 0);
    return true;
}

void Enumerate(DevNode& node);

NTSTATUS StartNode(DevNode& node) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    SendPnp(node, IRP_MN_QUERY_CAPABILITIES,
            [&](IRP*, IO_STACK_LOCATION* stack) { stack->Parameters.DeviceCapabilities.Capabilities = &capabilities; });
    NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE, [](IRP*, IO_STACK_LOCATION* stack) {
        stack->Parameters.StartDevice.AllocatedResources = nullptr;
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (!NT_SUCCESS(status)) {
        SendPnp(node, IRP_MN_REMOVE_DEVICE);
        MarkStack(node, false, false);
        SetState(node, DevNodeState::StartFailed, status);
        UnloadUnusedDrivers();
        return status;
    }
    SetState(node, DevNodeState::Started, 0);
    MarkStack(node, false, false);
    Enumerate(node);
    return STATUS_SUCCESS;
}

NTSTATUS BuildAndStart(DevNode& node) {
    if (!BuildStack(node)) return node.problem ? node.problem : STATUS_PLUGPLAY_NO_DEVICE;
    return StartNode(node);
}

// Sends IRP_MN_REMOVE_DEVICE to one devnode and checks that every driver above
// the PDO deleted its device.
void SendRemove(DevNode& node) {
    if (!node.pdo) return;
    std::vector<DEVICE_OBJECT*> stack = StackOf(node);
    for (DEVICE_OBJECT* device : stack) Reference(device);
    MarkStack(node, true, false);
    SendPnp(node, IRP_MN_REMOVE_DEVICE);
    for (std::size_t i = 1; i < stack.size(); ++i) {
        if (!ExtraOf(stack[i])->deletePending)
            ReportViolation("driver " + Narrow(RecordOf(stack[i]->DriverObject)->service) +
                            " did not delete its device " + DeviceLabel(stack[i]) + " on IRP_MN_REMOVE_DEVICE");
    }
    for (DEVICE_OBJECT* device : stack) Dereference(device);
    {
        std::lock_guard lock(Kernel().ioLock);
        // A device that is still present may get a new stack later; a missing one may not.
        ExtraOf(node.pdo)->removeProcessed = node.missing;
        ExtraOf(node.pdo)->removePending = false;
    }
    SetState(node, DevNodeState::Removed);
}

// Query-remove of every devnode with a stack in `list`; on a refusal the ones
// already asked (the refusing one included) get a cancel, in reverse order.
NTSTATUS QueryRemove(const std::vector<DevNode*>& list) {
    std::vector<DevNode*> asked;
    for (DevNode* node : list) {
        if (!HasDriverStack(*node)) continue;
        asked.push_back(node);
        NTSTATUS status = SendPnp(*node, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
                SendPnp(**it, IRP_MN_CANCEL_REMOVE_DEVICE);
                MarkStack(**it, false, false);
            }
            return status;
        }
        MarkStack(*node, true, false);
    }
    return STATUS_SUCCESS;
}

// Orderly removal of a devnode and everything below it. The node itself stays in
// the tree (its device is still there) unless it is missing; its children go.
NTSTATUS RemoveSubtree(DevNode& node, bool query) {
    std::vector<DevNode*> list;
    Subtree(&node, list);
    if (query) {
        NTSTATUS status = QueryRemove(list);
        if (!NT_SUCCESS(status)) return status;
    }
    // A device that goes for good gets its remove even without a driver stack, so that its bus
    // deletes the PDO (a root device uninstalled before any driver was bound to it).
    for (DevNode* item : list)
        if (HasDriverStack(*item) || item != &node || node.missing) SendRemove(*item);
    // Children disappear with their parent's stack; they come back when it is enumerated again.
    while (!node.children.empty()) EraseNode(node.children.back());
    if (node.missing) EraseNode(&node);
    UnloadUnusedDrivers();
    return STATUS_SUCCESS;
}

bool SubtreeHasOpenHandles(DevNode& node) {
    std::vector<DevNode*> list;
    Subtree(&node, list);
    std::lock_guard lock(Kernel().ioLock);
    for (DevNode* item : list)
        for (DEVICE_OBJECT* device = item->pdo; device; device = device->AttachedDevice)
            if (device->ReferenceCount > 0) return true;
    return false;
}

void FinishSurpriseRemoval(DevNode& node) {
    if (SubtreeHasOpenHandles(node)) return;  // IRP_MN_REMOVE_DEVICE waits for the last handle
    std::vector<DevNode*> list;
    Subtree(&node, list);
    for (DevNode* item : list) {
        SetField(item->missing, true);
        SendRemove(*item);
    }
    EraseNode(&node);
    UnloadUnusedDrivers();
}

void SurpriseRemove(DevNode& node) {
    std::vector<DevNode*> list;
    Subtree(&node, list);
    for (DevNode* item : list) {
        SetField(item->missing, true);
        if (HasDriverStack(*item) && item->state != DevNodeState::SurpriseRemoved) {
            MarkStack(*item, true, false);
            SendPnp(*item, IRP_MN_SURPRISE_REMOVAL);
            SetState(*item, DevNodeState::SurpriseRemoved);
        }
    }
    FinishSurpriseRemoval(node);
}

std::vector<std::u16string> QueryIds(DevNode& node, BUS_QUERY_ID_TYPE type, bool multi, NTSTATUS* answered = nullptr) {
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(node, IRP_MN_QUERY_ID,
                              [type](IRP*, IO_STACK_LOCATION* stack) { stack->Parameters.QueryId.IdType = type; },
                              &information);
    if (answered) *answered = status;
    std::vector<std::u16string> ids;
    if (!NT_SUCCESS(status) || !information) return ids;
    auto* text = reinterpret_cast<const char16_t*>(information);
    while (*text) {
        std::u16string id(text);
        text += id.size() + 1;
        ids.push_back(std::move(id));
        if (!multi) break;
    }
    ExFreePool(reinterpret_cast<PVOID>(information));
    return ids;
}

DevNode* AddChild(DevNode* parent, DEVICE_OBJECT* pdo, std::u16string instancePath, bool rootEnumerated) {
    auto& pnp = Pnp();
    auto node = std::make_unique<DevNode>();
    DevNode* raw = node.get();
    raw->instancePath = std::move(instancePath);
    raw->parent = parent;
    raw->pdo = pdo;
    raw->rootEnumerated = rootEnumerated;
    {
        std::lock_guard lock(pnp.treeMutex);
        ExtraOf(pdo)->devnode = raw;
        pnp.nodes.push_back(std::move(node));
        parent->children.push_back(raw);
    }
    return raw;
}

void NewChild(DevNode& parent, DEVICE_OBJECT* pdo) {
    {
        std::lock_guard lock(Kernel().ioLock);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    }
    DevNode temporary;
    temporary.pdo = pdo;
    NTSTATUS answered = STATUS_SUCCESS;
    auto deviceId = QueryIds(temporary, BusQueryDeviceID, false, &answered);
    auto instanceId = QueryIds(temporary, BusQueryInstanceID, false);
    if (deviceId.empty()) {
        // A bus driver short of pool may fail the query: the child then gets no device node, as on
        // Windows. Success without an ID is the bus driver's fault.
        if (NT_SUCCESS(answered)) {
            ReportViolation("bus driver of " + DeviceLabel(pdo) + " reported a child without a device ID");
        }
        Dereference(pdo);
        return;
    }
    std::u16string path = deviceId[0] + u"\\" + (instanceId.empty() ? u"0" : instanceId[0]);
    DevNode* node = AddChild(&parent, pdo, path, false);  // keeps the reference the bus gave
    SetField(node->hardwareIds, QueryIds(*node, BusQueryHardwareIDs, true));
    SetField(node->compatibleIds, QueryIds(*node, BusQueryCompatibleIDs, true));
    std::u16string key = EnumKey(*node);
    Reg().createKeyPath(key);
    if (!node->hardwareIds.empty()) Reg().setMultiString(key, u"HardwareID", node->hardwareIds);
    if (!node->compatibleIds.empty()) Reg().setMultiString(key, u"CompatibleIDs", node->compatibleIds);
    BuildAndStart(*node);
}

void Enumerate(DevNode& node) {
    if (node.state != DevNodeState::Started) return;
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(
        node, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](IRP*, IO_STACK_LOCATION* stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; },
        &information);
    if (!NT_SUCCESS(status)) return;  // not handled: the children stay as they are
    auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(information);
    std::vector<DEVICE_OBJECT*> reported;
    if (relations) {
        for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
        ExFreePool(relations);
    }
    std::vector<DevNode*> vanished;
    for (DevNode* child : node.children)
        if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end()) vanished.push_back(child);
    for (DevNode* child : vanished) {
        if (HasDriverStack(*child)) {
            SurpriseRemove(*child);
        } else {
            SetField(child->missing, true);
            SendRemove(*child);
            EraseNode(child);
        }
    }
    for (DEVICE_OBJECT* pdo : reported) {
        bool known = false;
        for (DevNode* child : node.children)
            if (child->pdo == pdo) known = true;
        if (known) {
            Dereference(pdo);  // the bus's reference for this report
            continue;
        }
        if (!IsDevice(pdo)) {
            ReportViolation("bus relations of " + Narrow(node.instancePath) + " name " + Describe(pdo) +
                            ", which is not a device object");
            continue;
        }
        NewChild(node, pdo);
    }
    UnloadUnusedDrivers();
}

void EnumerateRoot() {
    auto& pnp = Pnp();
    const std::u16string rootKey = std::u16string(kEnum) + u"ROOT";
    // Root devices start in the order Windows loads their drivers: by the start type of the
    // function driver's service (boot, system, automatic, demand), then by instance path. A
    // driver that others depend on at load (a bus whose filters open it in DriverEntry) is
    // installed with an earlier start type.
    std::vector<std::pair<ULONG, std::u16string>> rootPaths;
    for (auto& className : Reg().subkeys(rootKey)) {
        for (auto& instance : Reg().subkeys(rootKey + u"\\" + className)) {
            const std::u16string key = rootKey + u"\\" + className + u"\\" + instance;
            ULONG start = kDemandStart;
            if (auto service = Reg().string(key, u"Service")) {
                if (auto value = Reg().dword(std::u16string(kServices) + *service, u"Start")) start = *value;
            }
            rootPaths.emplace_back(start, u"ROOT\\" + className + u"\\" + instance);
        }
    }
    std::stable_sort(rootPaths.begin(), rootPaths.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [start, path] : rootPaths) {
        {
            if (FindByPath(path)) continue;
            DEVICE_OBJECT* pdo = nullptr;
            NTSTATUS status = IoCreateDevice(pnp.rootBus, 0, nullptr, FILE_DEVICE_UNKNOWN,
                                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
            if (!NT_SUCCESS(status)) continue;
            pdo->Flags &= ~DO_DEVICE_INITIALIZING;
            pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
            Reference(pdo);  // the devnode's reference
            DevNode* node = AddChild(&pnp.root, pdo, path, true);
            std::u16string key = EnumKey(*node);
            if (auto ids = Reg().multiString(key, u"HardwareID")) k::SetField(node->hardwareIds, *ids);
            if (auto ids = Reg().multiString(key, u"CompatibleIDs")) k::SetField(node->compatibleIds, *ids);
            BuildAndStart(*node);
        }
    }
}

// ---- The root bus driver ----------------------------------------------------------------------------

NTSTATUS RootBusPnp(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    DevNode* node = ExtraOf(device)->devnode;
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        // A root-enumerated device goes away only when it is uninstalled.
        if (!node || node->missing) IoDeleteDevice(device);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps) {
            caps->SilentInstall = TRUE;
            caps->UniqueID = TRUE;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < POWER_SYSTEM_MAXIMUM; ++s) caps->DeviceState[s] = PowerDeviceD3;
        }
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID: {
        if (!node) break;
        std::u16string text;
        bool multi = false;
        auto last = node->instancePath.rfind(u'\\');
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: text = node->instancePath.substr(0, last); break;
        case BusQueryInstanceID: text = node->instancePath.substr(last + 1); break;
        case BusQueryHardwareIDs:
            multi = true;
            for (auto& id : node->hardwareIds) text += id + u'\0';
            break;
        case BusQueryCompatibleIDs:
            multi = true;
            for (auto& id : node->compatibleIds) text += id + u'\0';
            break;
        default: break;
        }
        if (text.empty() && stack->Parameters.QueryId.IdType > BusQueryInstanceID) break;
        std::size_t chars = text.size() + (multi ? 1 : 1);
        auto* buffer = static_cast<char16_t*>(
            sim::PoolAllocate(PagedPool, (chars + 1) * sizeof(char16_t), sim::PoolTag("PnpI"), nullptr));
        if (!buffer) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        std::memset(buffer, 0, (chars + 1) * sizeof(char16_t));
        std::memcpy(buffer, text.data(), text.size() * sizeof(char16_t));
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<DEVICE_RELATIONS*>(
                sim::PoolAllocate(PagedPool, sizeof(DEVICE_RELATIONS), sim::PoolTag("PnpR"), nullptr));
            if (!relations) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = device;
            Reference(device);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: status = STATUS_SUCCESS; break;
    default: break;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RootBusPower(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RootBusSucceed(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

DevNodeInfo InfoOf(const DevNode& node) {
    DevNodeInfo info;
    info.instancePath = node.instancePath;
    info.parent = node.parent && node.parent != &Pnp().root ? node.parent->instancePath : std::u16string();
    info.state = node.state;
    info.problem = node.problem;
    info.pdo = node.pdo;
    info.stack = StackOf(node);
    info.hardwareIds = node.hardwareIds;
    info.compatibleIds = node.compatibleIds;
    info.service = node.service;
    for (DevNode* child : node.children) info.children.push_back(child->instancePath);
    return info;
}

}  // namespace

void RunOnPnpWorker(const std::function<void()>& job) { Kernel().pnp->worker.runSync(job); }

void PnpDeviceDeleted(DEVICE_OBJECT* device) {
    auto* impl = CurrentImpl();
    if (!impl || !impl->pnp || impl->pnp->stopped) return;
    impl->pnp->worker.post([] { UnloadUnusedDrivers(); });
}

void PnpLastHandleClosed(DEVICE_OBJECT* device) {
    auto* impl = CurrentImpl();
    if (!impl || !impl->pnp || impl->pnp->stopped) return;
    impl->pnp->worker.post([] {
        std::vector<DevNode*> waiting;
        for (auto& node : Pnp().nodes)
            if (node->state == DevNodeState::SurpriseRemoved &&
                (!node->parent || node->parent->state != DevNodeState::SurpriseRemoved))
                waiting.push_back(node.get());
        for (DevNode* node : waiting) FinishSurpriseRemoval(*node);
    });
}

void PnpShutdown(sim::Machine::Impl& impl) {
    if (!impl.pnp) return;
    impl.pnp->worker.runSync([] {
        auto& pnp = Pnp();
        while (!pnp.root.children.empty()) {
            DevNode* node = pnp.root.children.back();
            std::vector<DevNode*> list;
            Subtree(node, list);
            for (DevNode* item : list) {
                SetField(item->missing, true);
                SendRemove(*item);
            }
            EraseNode(node);
        }
        UnloadUnusedDrivers();
        if (pnp.rootBus) {
            RemoveDriverName(pnp.rootBus);
            Dereference(pnp.rootBus);
            pnp.rootBus = nullptr;
        }
    });
    impl.pnp->worker.drain();
}

DRIVER_OBJECT* RootBusDriver() { return Kernel().pnp->rootBus; }

}  // namespace sim::k

// ---- PnpManager -----------------------------------------------------------------------------------

namespace sim {

PnpManager::Impl::Impl(sim::Machine::Impl* machine) : machine(machine) {
    root.instancePath = u"HTREE\\ROOT\\0";
    root.state = DevNodeState::Started;
}

PnpManager::Impl::~Impl() {
    stopped = true;
    worker.stop();
}

PnpManager::PnpManager(Impl* impl) : impl_(impl) {}

std::u16string PnpManager::createRootDevice(std::u16string_view hardwareId, std::u16string_view className) {
    std::u16string path;
    impl_->worker.runSync([&] {
        auto& registry = *impl_->machine->registry;
        std::u16string classKey = std::u16string(k::kEnum) + u"ROOT\\" + k::Upcase(className);
        int index = 0;
        auto existing = registry.subkeys(classKey);
        auto taken = [&](int i) {
            char16_t name[5];
            for (int d = 3; d >= 0; --d, i /= 10) name[d] = static_cast<char16_t>(u'0' + i % 10);
            name[4] = 0;
            for (auto& key : existing)
                if (k::EqualNoCase(key, name)) return true;
            return false;
        };
        while (taken(index)) ++index;
        char text[16];
        std::snprintf(text, sizeof text, "%04d", index);
        path = u"ROOT\\" + k::Upcase(className) + u"\\" + k::Widen(text);
        std::u16string key = std::u16string(k::kEnum) + path;
        registry.createKeyPath(key);
        registry.setMultiString(key, u"HardwareID", {std::u16string(hardwareId)});
        k::EnumerateRoot();
    });
    return path;
}

void PnpManager::addDriverBinding(const DriverBinding& binding) {
    impl_->worker.runSync([&] { k::StoreBinding(binding); });
}

std::size_t PnpManager::updateDriverForDevices(const DriverBinding& binding) {
    std::size_t count = 0;
    impl_->worker.runSync([&] {
        k::StoreBinding(binding);
        std::vector<k::DevNode*> matching;
        for (auto& node : impl_->nodes)
            if (k::Matches(*node, binding.hardwareId)) matching.push_back(node.get());
        for (k::DevNode* node : matching) {
            if (k::HasDriverStack(*node) && !NT_SUCCESS(k::RemoveSubtree(*node, true))) continue;
            k::InstallBinding(*node, binding);
            k::BuildAndStart(*node);
            ++count;
        }
    });
    return count;
}

NTSTATUS PnpManager::uninstallDevice(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node) return;
        std::vector<k::DevNode*> list;
        k::Subtree(node, list);
        status = k::QueryRemove(list);
        if (!NT_SUCCESS(status)) return;
        std::u16string key = k::EnumKey(*node);
        if (node->rootEnumerated) k::SetField(node->missing, true);
        k::RemoveSubtree(*node, false);
        if (k::FindByPath(instancePath)) k::EraseNode(k::FindByPath(instancePath));
        impl_->machine->registry->deleteTree(key);
        k::UnloadUnusedDrivers();
        status = STATUS_SUCCESS;
    });
    return status;
}

NTSTATUS PnpManager::startDevice(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node) return;
        switch (node->state) {
        case DevNodeState::Started: status = STATUS_SUCCESS; break;
        case DevNodeState::Stopped:
        case DevNodeState::Initialized: status = k::StartNode(*node); break;
        case DevNodeState::SurpriseRemoved: status = STATUS_DELETE_PENDING; break;
        default: status = k::BuildAndStart(*node); break;
        }
    });
    return status;
}

NTSTATUS PnpManager::stopDevice(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node) return;
        if (node->state != DevNodeState::Started) {
            status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        status = k::SendPnp(*node, IRP_MN_QUERY_STOP_DEVICE);
        if (!NT_SUCCESS(status)) {
            k::SendPnp(*node, IRP_MN_CANCEL_STOP_DEVICE);
            return;
        }
        k::SetState(*node, DevNodeState::QueryStopped);
        k::SendPnp(*node, IRP_MN_STOP_DEVICE);
        k::SetState(*node, DevNodeState::Stopped);
        status = STATUS_SUCCESS;
    });
    return status;
}

NTSTATUS PnpManager::removeDevice(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node) return;
        status = k::RemoveSubtree(*node, true);
    });
    return status;
}

NTSTATUS PnpManager::surpriseRemoveDevice(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node) return;
        k::SurpriseRemove(*node);
        status = STATUS_SUCCESS;
    });
    return status;
}

NTSTATUS PnpManager::restartDevice(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node) return;
        if (k::HasDriverStack(*node)) {
            status = k::RemoveSubtree(*node, true);
            if (!NT_SUCCESS(status)) return;
        }
        status = k::BuildAndStart(*node);
    });
    return status;
}

void PnpManager::reenumerate(std::u16string_view instancePath) {
    impl_->worker.runSync([&] {
        if (instancePath.empty() || k::EqualNoCase(instancePath, impl_->root.instancePath)) {
            k::EnumerateRoot();
            return;
        }
        if (k::DevNode* node = k::FindByPath(instancePath)) k::Enumerate(*node);
    });
}

void PnpManager::processPendingEnumerations() {
    for (int round = 0; round < 4; ++round) {
        impl_->worker.drain();
        if (impl_->machine->worker) impl_->machine->worker->drain();
    }
}

std::optional<DevNodeInfo> PnpManager::find(std::u16string_view instancePath) const {
    std::lock_guard lock(impl_->treeMutex);
    for (auto& node : impl_->nodes)
        if (k::EqualNoCase(node->instancePath, instancePath)) return k::InfoOf(*node);
    return std::nullopt;
}

std::optional<DevNodeInfo> PnpManager::findByDevice(const _DEVICE_OBJECT* anyDeviceInStack) const {
    DEVICE_OBJECT* pdo = k::PdoOf(const_cast<DEVICE_OBJECT*>(anyDeviceInStack));
    std::lock_guard lock(impl_->treeMutex);
    for (auto& node : impl_->nodes)
        if (node->pdo == pdo) return k::InfoOf(*node);
    return std::nullopt;
}

std::vector<DevNodeInfo> PnpManager::devices() const {
    std::lock_guard lock(impl_->treeMutex);
    std::vector<DevNodeInfo> out;
    for (auto& node : impl_->nodes) out.push_back(k::InfoOf(*node));
    return out;
}

NTSTATUS PnpManager::sendPnpIrp(std::u16string_view instancePath, UCHAR minor,
                                const std::function<void(_IO_STACK_LOCATION&)>& setup, ULONG_PTR* information) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node || !node->pdo) return;
        status = k::SendPnp(
            *node, minor,
            [&](IRP*, IO_STACK_LOCATION* stack) {
                if (setup) setup(*stack);
            },
            information);
    });
    return status;
}

NTSTATUS PnpManager::sendPowerIrp(std::u16string_view instancePath, UCHAR minor, bool systemState, int state) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.runSync([&] {
        k::DevNode* node = k::FindByPath(instancePath);
        if (!node || !node->pdo) return;
        DEVICE_OBJECT* top = k::AttachedTop(node->pdo);
        // As on Windows, a stack whose top device is not power-pageable gets its power requests at
        // DISPATCH_LEVEL: a driver there that waits or takes a fast mutex is caught by the verifier.
        k::SyncRequest request{IRP_MJ_POWER, minor, nullptr, KernelMode, STATUS_NOT_SUPPORTED, 0,
                                                 [&](IRP*, IO_STACK_LOCATION* stack) {
                                                     stack->Parameters.Power.Type =
                                                         systemState ? SystemPowerState : DevicePowerState;
                                                     if (systemState)
                                                         stack->Parameters.Power.State.SystemState =
                                                             static_cast<SYSTEM_POWER_STATE>(state);
                                                     else
                                                         stack->Parameters.Power.State.DeviceState =
                                                             static_cast<DEVICE_POWER_STATE>(state);
                                                 }};
        request.atDispatchLevel = (top->Flags & DO_POWER_PAGABLE) == 0;
        status = k::SendSync(top, request);
    });
    return status;
}

}  // namespace sim

// ---- Exported PnP routines ------------------------------------------------------------------------

using namespace sim::k;

extern "C" {

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    if (Type != BusRelations) return;
    auto* impl = CurrentImpl();
    if (!impl || !impl->pnp || impl->pnp->stopped) return;
    DEVICE_OBJECT* pdo = PdoOf(DeviceObject);
    Reference(pdo);  // the devnode may go before the enumeration runs
    impl->pnp->worker.post([pdo] {
        DevNode* node = nullptr;
        for (auto& candidate : Pnp().nodes)
            if (candidate->pdo == pdo) node = candidate.get();
        if (node) Enumerate(*node);
        Dereference(pdo);
    });
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty");
    *ResultLength = 0;
    auto& pnp = Pnp();
    std::u16string data;
    bool multi = false;
    {
        std::lock_guard lock(pnp.treeMutex);
        DevNode* node = IsDevice(DeviceObject) ? ExtraOf(DeviceObject)->devnode : nullptr;
        if (!node) return STATUS_INVALID_DEVICE_REQUEST;
        switch (DeviceProperty) {
        case DevicePropertyHardwareID:
            multi = true;
            for (auto& id : node->hardwareIds) data += id + u'\0';
            break;
        case DevicePropertyCompatibleIDs:
            multi = true;
            for (auto& id : node->compatibleIds) data += id + u'\0';
            break;
        case DevicePropertyEnumeratorName: data = node->instancePath.substr(0, node->instancePath.find(u'\\')); break;
        case DevicePropertyPhysicalDeviceObjectName: data = ExtraOf(node->pdo)->name; break;
        case DevicePropertyDriverKeyName: data = node->instancePath; break;
        case DevicePropertyDeviceDescription:
        case DevicePropertyFriendlyName: {
            auto value = Reg().string(EnumKey(*node),
                                      DeviceProperty == DevicePropertyFriendlyName ? u"FriendlyName" : u"DeviceDesc");
            if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
            data = *value;
            break;
        }
        default: return STATUS_INVALID_PARAMETER_2;
        }
    }
    data.push_back(u'\0');
    if (multi) data.push_back(u'\0');
    ULONG bytes = static_cast<ULONG>(data.size() * sizeof(char16_t));
    *ResultLength = bytes;
    if (BufferLength < bytes) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, data.data(), bytes);
    return STATUS_SUCCESS;
}

}  // extern "C"

namespace sim::k {

// The root bus driver object, created with the PnP manager.
DRIVER_OBJECT* CreateRootBus() {
    DRIVER_OBJECT* driver = CreateDriverObject(u"PnpManager", nullptr, true);
    driver->MajorFunction[IRP_MJ_PNP] = RootBusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = RootBusPower;
    driver->MajorFunction[IRP_MJ_CREATE] = RootBusSucceed;
    driver->MajorFunction[IRP_MJ_CLEANUP] = RootBusSucceed;
    driver->MajorFunction[IRP_MJ_CLOSE] = RootBusSucceed;
    return driver;
}

}  // namespace sim::k
