// Test side of path registration (see registration_harness.h).
#include "registration_harness.h"

#include <cstdlib>

#include <filesystem>
#include <unistd.h>

#include "sim/drivers.h"
#include "sim/objects.h"
#include "sim/pnp.h"
#include "sim/process.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "sim/verifier.h"

namespace vorka::test {

namespace {

constexpr char16_t kParameters[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus\\Parameters";

using bus_view::Widen;

void CopyField(char* dest, std::size_t size, const std::string& text) {
    std::memset(dest, 0, size);
    std::memcpy(dest, text.data(), std::min(text.size(), size - 1));
}

}  // namespace

void TapeBusTest::SetUp() {
    MachineTest::SetUp();
    startBusAndFilters();
}

void TapeBusTest::TearDown() {
    retirePaths();
    MachineTest::TearDown();
}

void TapeBusTest::startBusAndFilters() {
    sim::Registry& registry = machine().registry();
    if (!registry.keyExists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkatbus")) {
        // First boot: install the bus as the installer does and create its root device.
        machine().drivers().installService(u"vorkatbus");
        registry.createKeyPath(kParameters);
        BusConfig config = busConfig();
        if (config.failoverDisabled) registry.setDword(kParameters, u"FailoverDisabled", 1);
        if (config.eventsEnabled) registry.setDword(kParameters, u"FailoverEventsEnabled", 1);
        if (config.persistentNaming) registry.setDword(kParameters, u"PersistentNaming", 1);
        configureBus(registry, kParameters);
        machine().pnp().addDriverBinding({u"root\\vorkatbus", u"vorkatbus", {}, {}});
        machine().pnp().createRootDevice(u"root\\vorkatbus");
        machine().drivers().installService(u"" FAKEPATH_SERVICE_NAME);
    }
    ASSERT_NE(sim::FindDevice(u"\\Device\\VorkaTBusDvc"), nullptr) << "the bus control device exists";
    ASSERT_EQ(machine().drivers().load(u"" FAKEPATH_SERVICE_NAME), kStatusSuccess);
    app_ = &machine().processes().create("tapeapp");
    ASSERT_EQ(app_->createFile(&fake_, FAKEPATH_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE), kStatusSuccess);
    std::lock_guard<std::mutex> lock(registeredLock_);
    registered_.assign(FAKEPATH_MAX_PATHS, false);
}

void TapeBusTest::retirePaths() {
    if (fake_ == nullptr) {
        return;
    }
    for (uint32_t path = 0; path < FAKEPATH_MAX_PATHS; path++) {
        bool known;
        {
            std::lock_guard<std::mutex> lock(registeredLock_);
            known = registered_[path];
        }
        if (known) {
            removePath(path);
        }
    }
    releaseOccupiedNames();
    app_->close(fake_);
    fake_ = nullptr;
    machine().processes().exit(*app_);
    app_ = nullptr;
    EXPECT_EQ(machine().drivers().unload(u"" FAKEPATH_SERVICE_NAME), kStatusSuccess);
    // The bus device goes as a PnP removal takes it, before the machine shuts down.
    for (const auto& node : machine().pnp().devices()) {
        if (node.service == u"vorkatbus" && node.state == sim::DevNodeState::Started) {
            EXPECT_EQ(machine().pnp().removeDevice(node.instancePath), kStatusSuccess);
        }
    }
}

void TapeBusTest::reboot() {
    retirePaths();
    MachineTest::reboot();
    startBusAndFilters();
}

std::u16string TapeBusTest::busInstance() {
    for (const auto& node : machine().pnp().devices()) {
        if (node.service == u"vorkatbus") {
            return node.instancePath;
        }
    }
    ADD_FAILURE() << "the bus has no device";
    return {};
}

void TapeBusTest::restartBus() {
    const std::u16string instance = busInstance();
    ASSERT_EQ(machine().pnp().stopDevice(instance), kStatusSuccess);
    ASSERT_EQ(machine().pnp().startDevice(instance), kStatusSuccess);
}

void TapeBusTest::setBusParameter(std::u16string_view name, uint32_t value) {
    ASSERT_EQ(machine().registry().setDword(kParameters, name, value), kStatusSuccess);
}

template <typename T>
NTSTATUS TapeBusTest::callFake(uint32_t code, T& req) {
    void* buffer = app_->alloc(sizeof(T));
    std::memcpy(buffer, &req, sizeof(T));
    NTSTATUS status = app_->deviceIoControl(fake_, code, buffer, sizeof(T), buffer, sizeof(T));
    std::memcpy(&req, buffer, sizeof(T));
    app_->free(buffer);
    return status;
}

void TapeBusTest::createPaths(uint32_t first, uint32_t count) {
    FAKEPATH_RANGE range{first, count, 0};
    ASSERT_EQ(callFake(FAKEPATH_IOCTL_CREATE, range), kStatusSuccess);
    // ctest runs the suite a second time with the paths answering from DPCs, as paths over a
    // port driver do.
    const char* mode = std::getenv("VORKA_SAN_COMPLETION");
    if (mode != nullptr && std::string(mode) == "dpc") {
        for (uint32_t path = first; path < first + count; path++) {
            setPathAnswer(path, kStatusSuccess, FAKEPATH_ANSWER_FROM_DPC);
        }
    }
}

std::u16string TapeBusTest::deviceMapKey(const PathSpec& spec) {
    return bus_view::DeviceMapKey(spec.port, spec.bus, spec.target, spec.lun);
}

std::u16string TapeBusTest::deviceMapName(const PathSpec& spec) {
    return bus_view::DeviceMapName(machine().registry(), deviceMapKey(spec));
}

FAKEPATH_REGISTER TapeBusTest::registerPath(uint32_t path, const PathSpec& spec, bool createDeviceMapEntry) {
    // The port driver's device map entry for the path, with the class driver's own name in it.
    std::u16string key = deviceMapKey(spec);
    if (createDeviceMapEntry && !machine().registry().keyExists(key)) {
        machine().registry().createKeyPath(key, /*isVolatile=*/true);
        machine().registry().setString(key, u"DeviceName", u"Tape999");
    }
    FAKEPATH_REGISTER req{};
    req.path = path;
    req.failover = spec.failover;
    req.exclusive = spec.exclusive;
    req.persistentNaming = spec.persistentNaming;
    CopyField(req.serial, sizeof(req.serial), spec.serial);
    CopyField(req.wwnn, sizeof(req.wwnn), spec.wwnn);
    req.port = spec.port;
    req.pathId = spec.bus;
    req.target = spec.target;
    req.lun = spec.lun;
    req.pnpState = spec.pnpState;
    NTSTATUS status = callFake(FAKEPATH_IOCTL_REGISTER, req);
    EXPECT_EQ(status, kStatusSuccess) << "fake filter request";
    if (status == kStatusSuccess && path < FAKEPATH_MAX_PATHS) {
        std::lock_guard<std::mutex> lock(registeredLock_);
        registered_[path] = true;
    }
    return req;
}

NTSTATUS TapeBusTest::notifyPnp(uint32_t path, uint32_t state) {
    FAKEPATH_NOTIFY req{path, 0, state, 0};
    NTSTATUS status = callFake(FAKEPATH_IOCTL_NOTIFY, req);
    EXPECT_EQ(status, kStatusSuccess) << "fake filter request";
    return req.status;
}

NTSTATUS TapeBusTest::notifyIo(uint32_t path, uint32_t kind) {
    FAKEPATH_NOTIFY req{path, 1, kind, 0};
    NTSTATUS status = callFake(FAKEPATH_IOCTL_NOTIFY, req);
    EXPECT_EQ(status, kStatusSuccess) << "fake filter request";
    return req.status;
}

NTSTATUS TapeBusTest::removePath(uint32_t path) {
    NTSTATUS status = notifyPnp(path, kPnpAbsent);
    FAKEPATH_RANGE range{path, 1, 0};
    callFake(FAKEPATH_IOCTL_DELETE, range);
    std::lock_guard<std::mutex> lock(registeredLock_);
    registered_[path] = false;
    return status;
}

NTSTATUS TapeBusTest::occupyName(std::u16string_view name) {
    FAKEPATH_OCCUPY req{};
    std::memcpy(req.name, name.data(), std::min<std::size_t>(name.size(), 63) * sizeof(char16_t));
    EXPECT_EQ(callFake(FAKEPATH_IOCTL_OCCUPY, req), kStatusSuccess);
    return req.status;
}

void TapeBusTest::releaseOccupiedNames() {
    FAKEPATH_OCCUPY req{};
    req.remove = 1;
    EXPECT_EQ(callFake(FAKEPATH_IOCTL_OCCUPY, req), kStatusSuccess);
}

FAKEPATH_PATH TapeBusTest::pathInfo(uint32_t path) {
    FAKEPATH_PATH req{};
    req.path = path;
    EXPECT_EQ(callFake(FAKEPATH_IOCTL_PATH, req), kStatusSuccess);
    return req;
}

void TapeBusTest::setPathAnswer(uint32_t path, NTSTATUS createStatus, uint32_t mode) {
    FAKEPATH_PATH req{};
    req.path = path;
    req.set = 1;
    req.createStatus = createStatus;
    req.answerMode = mode;
    EXPECT_EQ(callFake(FAKEPATH_IOCTL_PATH, req), kStatusSuccess);
}

QueryAnswer TapeBusTest::query(uint32_t outputLength, std::u16string_view device) {
    return bus_view::QueryDevices(*app_, device, kIocQueryDevices, outputLength);
}

NTSTATUS TapeBusTest::openTape(std::u16string_view name, HANDLE* handle) {
    *handle = nullptr;
    return app_->createFile(handle, name, GENERIC_READ | GENERIC_WRITE);
}

NTSTATUS TapeBusTest::closeHandle(HANDLE handle) { return app_->close(handle); }

NTSTATUS TapeBusTest::deviceIoControl(HANDLE handle, uint32_t code, uint32_t inLength, uint32_t outLength,
                                      std::vector<uint8_t>* output) {
    auto* buffer = static_cast<uint8_t*>(app_->alloc(std::max<uint32_t>(std::max(inLength, outLength), 1)));
    ULONG_PTR information = 0;
    NTSTATUS status = app_->deviceIoControl(handle, code, inLength ? buffer : nullptr, inLength,
                                            outLength ? buffer : nullptr, outLength, &information);
    if (output != nullptr) {
        output->assign(buffer, buffer + std::min<ULONG_PTR>(information, outLength));
    }
    app_->free(buffer);
    return status;
}

bool TapeBusTest::deviceExists(std::u16string_view name) { return sim::FindDevice(name) != nullptr; }

std::u16string TapeBusTest::tapeName(uint32_t number) { return u"\\Device\\Tape" + Widen(std::to_string(number)); }

std::size_t TapeBusTest::livePoolWithTag(ULONG tag) { return machine().pool().liveCountWithTag(tag); }

}  // namespace vorka::test
