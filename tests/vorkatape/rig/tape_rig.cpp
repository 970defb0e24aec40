#include "tape_rig.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <cstring>
#include <string_view>

#include "sim/drivers.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "vorkachgr/changer_query.h"
#include "vorkatape/install.h"
#include "vorkatape/srb.h"


// The rig's pool tag, 'tseT' as the drivers would write it (a pool dump reads it as "Test").
constexpr ULONG kRigPoolTag = 0x74736554u;

namespace tapetest {
namespace {

constexpr char16_t kFilterParameters[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatflt\\Parameters";

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an IRP the caller allocated and waits for it; the caller frees it.
Reply SendOwnIrp(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return Reply{irp->IoStatus.Status, irp->IoStatus.Information};
}

SCSI_STATUS RecordWithKey(std::uint64_t preemptKey) {
    SCSI_STATUS record;
    std::memset(&record, 0, sizeof record);
    record.scPreempt = preemptKey;
    return record;
}

Forwarded Transfer(PIRPS_WITH_STATUS table, PDEVICE_OBJECT device, UCHAR major, std::vector<std::uint8_t> data,
                   std::uint64_t preemptKey) {
    Forwarded result;
    result.record = RecordWithKey(preemptKey);
    const ULONG length = static_cast<ULONG>(data.size());
    // The bus hands the path a locked system buffer through an MDL.
    auto* buffer = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, length ? length : 1, kRigPoolTag));
    std::memcpy(buffer, data.data(), length);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    MmBuildMdlForNonPagedPool(mdl);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    if (major == IRP_MJ_READ) {
        next->Parameters.Read.Length = length;
    } else {
        next->Parameters.Write.Length = length;
    }
    {
        fakes::TableEntry entry(table, irp, &result.record);
        result.reply = SendOwnIrp(device, irp);
    }
    const ULONG_PTR moved = result.reply.information < length ? result.reply.information : length;
    result.data.assign(buffer, buffer + (major == IRP_MJ_READ ? moved : length));
    irp->MdlAddress = nullptr;
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    ExFreePoolWithTag(buffer, kRigPoolTag);
    return result;
}

}  // namespace

std::u16string PathStack::Win32Name() const {
    std::string text = "\\\\.\\Tape" + std::to_string(baseNumber);
    return std::u16string(text.begin(), text.end());
}

Reply KernelControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                    ULONG outputLength) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void*>(input), inputLength, output, outputLength,
                                             FALSE, &event, &iosb);
    if (irp == nullptr) return Reply{STATUS_INSUFFICIENT_RESOURCES, 0};
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return Reply{status, iosb.Information};
}

Forwarded ForwardControl(PIRPS_WITH_STATUS table, PDEVICE_OBJECT device, ULONG code, std::vector<std::uint8_t> input,
                         ULONG outputLength, std::uint64_t preemptKey) {
    Forwarded result;
    result.record = RecordWithKey(preemptKey);
    const ULONG inputLength = static_cast<ULONG>(input.size());
    result.data.assign(outputLength, 0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, inputLength ? input.data() : nullptr, inputLength,
                                             outputLength ? result.data.data() : nullptr, outputLength, FALSE, &event,
                                             &iosb);
    if (irp == nullptr) {
        result.reply.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    fakes::TableEntry entry(table, irp, &result.record);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    result.reply = Reply{status, iosb.Information};
    return result;
}

Forwarded ForwardRead(PIRPS_WITH_STATUS table, PDEVICE_OBJECT device, ULONG length, std::uint64_t preemptKey) {
    return Transfer(table, device, IRP_MJ_READ, std::vector<std::uint8_t>(length, 0xEE), preemptKey);
}

Forwarded ForwardWrite(PIRPS_WITH_STATUS table, PDEVICE_OBJECT device, const std::vector<std::uint8_t>& data,
                       std::uint64_t preemptKey) {
    return Transfer(table, device, IRP_MJ_WRITE, data, preemptKey);
}

Reply SendIrp(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
              PIRPS_WITH_STATUS table, SCSI_STATUS* record) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    setup(irp, IoGetNextIrpStackLocation(irp));
    Reply reply;
    if (table != nullptr) {
        fakes::TableEntry entry(table, irp, record);
        reply = SendOwnIrp(device, irp);
    } else {
        reply = SendOwnIrp(device, irp);
    }
    IoFreeIrp(irp);
    return reply;
}

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> v(length);
    for (std::size_t i = 0; i < length; ++i) v[i] = static_cast<std::uint8_t>(seed * 31 + i * 7 + (i >> 8));
    return v;
}

// ---- Rig ----------------------------------------------------------------------------------------------

Rig::Rig(RigOptions options) : options_(options) {}

Rig::~Rig() {
    // The host kernel unmaps a driver image as soon as the driver unloads. A completion
    // routine or a worker that has just signalled its waiter may still be on its last
    // instructions inside an image; give them a moment before the shutdown unloads them.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    machine_.reset();  // devices removed, drivers unloaded, before the SAN and the scripts go
}

sim::hw::TapeDrive& Rig::AddDrive(const std::string& serial, const std::function<void(sim::hw::DriveConfig&)>& tweak) {
    sim::hw::DriveConfig config;
    config.identity.serial = serial;
    if (tweak) tweak(config);
    return san_.addDrive(std::move(config));
}

bool SanCompletesFromDpc() {
    const char* mode = std::getenv("VORKA_SAN_COMPLETION");
    return mode != nullptr && std::string_view(mode) == "dpc";
}

void Rig::Boot() {
    sim::MachineConfig config;
    config.driverDirectory = VORKA_DRIVER_DIR;
    config.violationHandler = [](const std::string& message) {
        // The host kernel reports IoDeleteDevice on a device that still has a device attached
        // above it. That is the order of every WDM removal (each driver passes the remove down,
        // then detaches and deletes its own device, so the lower device goes first) and Windows
        // accepts it; it is not a fault of the drivers under test.
        if (message.find("IoDeleteDevice") != std::string::npos && message.find("attached above it") != std::string::npos) {
            return;
        }
        ADD_FAILURE() << "verifier: " << message;
    };
    config.san = &san_;
    config.traceEcho = std::getenv("VORKA_TRACE") != nullptr;  // debugger output on stderr when asked
    machine_ = std::make_unique<sim::Machine>(config);

    sim::Registry& registry = machine_->registry();
    registry.createKeyPath(vorka::tape::kParametersKey);
    registry.setDword(vorka::tape::kParametersKey, vorka::tape::kForcePendingValue, options_.forcePending ? 1 : 0);
    registry.setDword(vorka::tape::kParametersKey, vorka::tape::kSetExtInBaseDelayValue, options_.setExtInBaseDelayMs);
    registry.createKeyPath(vorka::san::kSanParametersKey);
    registry.setDword(vorka::san::kSanParametersKey, vorka::san::kCompleteFromDpcValue, options_.completeFromDpc ? 1 : 0);
    if (options_.failoverDriver) {
        registry.createKeyPath(kFilterParameters);
        registry.setDword(kFilterParameters, u"FailoverDriver", *options_.failoverDriver);
    }

    if (options_.realBus) {
        if (options_.busEvents) {
            constexpr char16_t kBusParameters[] =
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters";
            registry.createKeyPath(kBusParameters);
            registry.setDword(kBusParameters, u"FailoverEventsEnabled", 1);
        }
        vorka::install::InstallTapeBus(*machine_);
    } else {
        machine_->drivers().installService(fakes::kFakeBusService);
        const std::u16string key = fakes::ParametersKey(fakes::kFakeBusService);
        registry.createKeyPath(key);
        registry.setQword(key, fakes::kScriptValue, reinterpret_cast<std::uintptr_t>(&bus_));
        ASSERT_EQ(machine_->drivers().load(fakes::kFakeBusService), STATUS_SUCCESS);
    }
    vorka::install::InstallTapeStack(*machine_);
    if (options_.changers) {
        registry.createKeyPath(vorka::changer::kParametersKey);
        registry.setDword(vorka::changer::kParametersKey, vorka::changer::kForcePendingValue,
                          options_.forcePending ? 1 : 0);
        vorka::install::InstallChangerStack(*machine_, {.withFilter = options_.changerFilter});
    }
    if (options_.beforeEnumeration) options_.beforeEnumeration(*machine_);
    vorka::install::InstallSanAdapter(*machine_);
    Settle();
}

void Rig::Settle() { machine_->pnp().processPendingEnumerations(); }

std::vector<PathStack> Rig::Stacks() {
    std::vector<PathStack> stacks;
    for (const sim::DevNodeInfo& node : machine_->pnp().devices()) {
        if (node.service != u"vorkatape" || node.stack.size() < 2 || node.state != sim::DevNodeState::Started) continue;
        PathStack stack;
        stack.instance = node.instancePath;
        stack.pdo = node.stack.front();
        stack.base = node.stack[1];
        stack.filter = node.stack.back();
        const vorka::tape::PathState state = Query(stack);
        stack.baseNumber = state.deviceNumber;
        stack.path = san_.findPath(sim::hw::ScsiAddress{state.portNumber, state.pathId, state.targetId, state.lun});
        stacks.push_back(stack);
    }
    return stacks;
}

std::vector<std::vector<PDEVICE_OBJECT>> Rig::ChangerStacks() {
    std::vector<std::vector<PDEVICE_OBJECT>> stacks;
    for (const sim::DevNodeInfo& node : machine_->pnp().devices()) {
        if (node.service == u"vorkachgr" && node.state == sim::DevNodeState::Started) stacks.push_back(node.stack);
    }
    return stacks;
}

std::optional<PathStack> Rig::StackOf(const sim::hw::Path& path) {
    for (const PathStack& stack : Stacks()) {
        if (stack.path == &path) return stack;
    }
    return std::nullopt;
}

vorka::tape::PathState Rig::Query(const PathStack& stack) {
    vorka::tape::PathState state;
    Reply r = KernelControl(stack.base, vorka::tape::kIoctlQueryPathState, nullptr, 0, &state, sizeof state);
    EXPECT_EQ(r.status, STATUS_SUCCESS) << "path state query";
    return state;
}

std::u16string Rig::AddStubTape(fakes::StubScript& script) {
    sim::Registry& registry = machine_->registry();
    const std::u16string key = fakes::ParametersKey(fakes::kStubService);
    registry.createKeyPath(key);
    registry.setQword(key, fakes::kScriptValue, reinterpret_cast<std::uintptr_t>(&script));
    machine_->drivers().installService(fakes::kStubService);
    machine_->drivers().installService(u"vorkatflt");
    sim::DriverBinding binding;
    binding.hardwareId = fakes::kStubHardwareId;
    binding.service = fakes::kStubService;
    binding.upperFilters.push_back(u"vorkatflt");
    machine_->pnp().addDriverBinding(binding);
    std::u16string instance = machine_->pnp().createRootDevice(fakes::kStubHardwareId);
    Settle();
    return instance;
}

std::vector<PDEVICE_OBJECT> Rig::StackOfInstance(std::u16string_view instance) {
    auto node = machine_->pnp().find(instance);
    return node ? node->stack : std::vector<PDEVICE_OBJECT>{};
}

// ---- App ---------------------------------------------------------------------------------------------------

App::App(sim::Machine& machine, bool is32Bit)
    : machine_(machine), process_(machine.processes().create(is32Bit ? "tape32.exe" : "tape.exe", is32Bit)) {}

App::~App() {
    Close();
    machine_.processes().exit(process_);
}

NTSTATUS App::Open(std::u16string_view name, ACCESS_MASK access) {
    sim::ProcessScope scope(process_);
    return process_.createFile(&handle_, name, access);
}

NTSTATUS App::Close() {
    if (handle_ == nullptr) return STATUS_SUCCESS;
    sim::ProcessScope scope(process_);
    NTSTATUS status = process_.close(handle_);
    handle_ = nullptr;
    return status;
}

std::vector<std::uint8_t> DirectRead32(sim::Process& process, void* data, ULONG length,
                                       std::initializer_list<std::uint8_t> cdb) {
    std::vector<std::uint8_t> record(sizeof(SCSI_PASS_THROUGH_DIRECT32) + 32, 0);
    auto* p = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT32*>(record.data());
    p->Length = sizeof(SCSI_PASS_THROUGH_DIRECT32);
    p->CdbLength = 6;
    p->SenseInfoLength = 32;
    p->SenseInfoOffset = sizeof(SCSI_PASS_THROUGH_DIRECT32);
    p->DataIn = SCSI_IOCTL_DATA_IN;
    p->DataTransferLength = length;
    p->DataBuffer = process.address32(data);
    std::copy_n(cdb.begin(), std::min<std::size_t>(cdb.size(), sizeof p->Cdb), p->Cdb);
    return record;
}

Reply App::Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength) {
    sim::ProcessScope scope(process_);
    void* in = inputLength != 0 ? process_.alloc(inputLength) : nullptr;
    void* out = outputLength != 0 ? process_.alloc(outputLength) : nullptr;
    if (in != nullptr) std::memcpy(in, input, inputLength);
    Reply r;
    r.status = process_.deviceIoControl(handle_, code, in, inputLength, out, outputLength, &r.information);
    if (out != nullptr && output != nullptr) std::memcpy(output, out, outputLength);
    if (in != nullptr) process_.free(in);
    if (out != nullptr) process_.free(out);
    return r;
}

Reply App::Write(const std::vector<std::uint8_t>& data) {
    sim::ProcessScope scope(process_);
    void* buffer = process_.alloc(data.size() ? data.size() : 1);
    std::memcpy(buffer, data.data(), data.size());
    Reply r;
    r.status = process_.write(handle_, buffer, static_cast<ULONG>(data.size()), &r.information);
    process_.free(buffer);
    return r;
}

Reply App::Read(std::vector<std::uint8_t>* data, ULONG length) {
    sim::ProcessScope scope(process_);
    void* buffer = process_.alloc(length ? length : 1);
    Reply r;
    r.status = process_.read(handle_, buffer, length, &r.information);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    data->assign(bytes, bytes + (NT_ERROR(r.status) ? 0 : std::min<ULONG_PTR>(r.information, length)));
    process_.free(buffer);
    return r;
}

}  // namespace tapetest
