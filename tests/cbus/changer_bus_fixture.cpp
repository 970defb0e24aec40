// Test side of the changer bus (see changer_bus_fixture.h).
#include "changer_bus_fixture.h"

#include <algorithm>

#include "sim/drivers.h"
#include "sim/eventlog.h"
#include "sim/objects.h"
#include "sim/pnp.h"
#include "sim/registry.h"
#include "vorkatape/install.h"

namespace vorka::cbus_test {

namespace {

constexpr char16_t kParameters[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorkacbus\\Parameters";

using bus_view::Widen;

}  // namespace

void ChangerBusTest::SetUp() {
    MachineTest::SetUp();
    sim::Registry& registry = machine().registry();
    registry.createKeyPath(kParameters);
    BusConfig config = busConfig();
    if (config.failoverDisabled) registry.setDword(kParameters, u"FailoverDisabled", 1);
    if (config.eventsEnabled) registry.setDword(kParameters, u"FailoverEventsEnabled", 1);
    vorka::install::InstallChangerBus(machine());
    ASSERT_NE(sim::FindDevice(u"\\Device\\VorkaCBusDvc"), nullptr) << "the changer bus control device exists";
    machine().drivers().installService(u"" FAKECPATH_SERVICE_NAME);
    ASSERT_EQ(machine().drivers().load(u"" FAKECPATH_SERVICE_NAME), kSuccess);
    app_ = &machine().processes().create("changerapp");
    ASSERT_EQ(app_->createFile(&fake_, FAKECPATH_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE), kSuccess);
    registered_.assign(FAKECPATH_MAX_PATHS, false);
}

void ChangerBusTest::TearDown() {
    retirePaths();
    MachineTest::TearDown();
}

void ChangerBusTest::retirePaths() {
    if (fake_ == nullptr) {
        return;
    }
    for (uint32_t path = 0; path < FAKECPATH_MAX_PATHS; path++) {
        if (registered_[path]) {
            removePath(path);
        }
    }
    app_->close(fake_);
    fake_ = nullptr;
    machine().processes().exit(*app_);
    app_ = nullptr;
    EXPECT_EQ(machine().drivers().unload(u"" FAKECPATH_SERVICE_NAME), kSuccess);
    for (const auto& node : machine().pnp().devices()) {
        if (node.service == u"vorkacbus" && node.state == sim::DevNodeState::Started) {
            EXPECT_EQ(machine().pnp().removeDevice(node.instancePath), kSuccess);
        }
    }
}

template <typename T>
NTSTATUS ChangerBusTest::callFake(uint32_t code, T& req) {
    void* buffer = app_->alloc(sizeof(T));
    std::memcpy(buffer, &req, sizeof(T));
    NTSTATUS status = app_->deviceIoControl(fake_, code, buffer, sizeof(T), buffer, sizeof(T));
    std::memcpy(&req, buffer, sizeof(T));
    app_->free(buffer);
    return status;
}

void ChangerBusTest::createPaths(uint32_t first, uint32_t count) {
    FAKECPATH_RANGE range{first, count};
    ASSERT_EQ(callFake(FAKECPATH_IOCTL_CREATE, range), kSuccess);
}

std::u16string ChangerBusTest::deviceMapKey(const PathSpec& spec) {
    return bus_view::DeviceMapKey(spec.port, spec.bus, spec.target, spec.lun);
}

std::u16string ChangerBusTest::deviceMapName(const PathSpec& spec) {
    return bus_view::DeviceMapName(machine().registry(), deviceMapKey(spec));
}

FAKECPATH_REGISTER ChangerBusTest::registerPath(uint32_t path, const PathSpec& spec, bool createDeviceMapEntry) {
    std::u16string key = deviceMapKey(spec);
    if (createDeviceMapEntry && !machine().registry().keyExists(key)) {
        machine().registry().createKeyPath(key, /*isVolatile=*/true);
        machine().registry().setString(key, u"DeviceName", u"Changer999");
    }
    FAKECPATH_REGISTER req{};
    req.path = path;
    req.failover = spec.failover;
    std::memcpy(req.serial, spec.serial.data(), std::min<std::size_t>(spec.serial.size(), 32));
    req.port = spec.port;
    req.pathId = spec.bus;
    req.target = spec.target;
    req.lun = spec.lun;
    req.pnpState = spec.pnpState;
    EXPECT_EQ(callFake(FAKECPATH_IOCTL_REGISTER, req), kSuccess) << "fake filter request";
    if (path < FAKECPATH_MAX_PATHS) {
        registered_[path] = true;
    }
    return req;
}

NTSTATUS ChangerBusTest::notifyPnp(uint32_t path, uint32_t state) {
    FAKECPATH_NOTIFY req{path, state, 0, 0};
    EXPECT_EQ(callFake(FAKECPATH_IOCTL_NOTIFY, req), kSuccess) << "fake filter request";
    return req.status;
}

NTSTATUS ChangerBusTest::removePath(uint32_t path) {
    NTSTATUS status = notifyPnp(path, kPnpAbsent);
    FAKECPATH_RANGE range{path, 1};
    callFake(FAKECPATH_IOCTL_DELETE, range);
    registered_[path] = false;
    return status;
}

void ChangerBusTest::setAnswer(uint32_t path, const Answer& answer) {
    FAKECPATH_PATH req{};
    req.path = path;
    req.set = 1;
    req.senseValid = answer.senseValid;
    req.senseKey = answer.senseKey;
    req.asc = answer.asc;
    req.ascq = answer.ascq;
    req.ptScsiStatus = answer.ptScsiStatus;
    req.ptSenseLength = answer.ptSenseLength;
    req.answerStatus = answer.status;
    req.answerInformation = answer.information;
    req.delayMicroseconds = answer.delayMicroseconds;
    EXPECT_EQ(callFake(FAKECPATH_IOCTL_PATH, req), kSuccess);
}

FAKECPATH_PATH ChangerBusTest::pathInfo(uint32_t path) {
    FAKECPATH_PATH req{};
    req.path = path;
    EXPECT_EQ(callFake(FAKECPATH_IOCTL_PATH, req), kSuccess);
    return req;
}

NTSTATUS ChangerBusTest::occupyName(std::u16string_view name) {
    FAKECPATH_OCCUPY req{};
    std::memcpy(req.name, name.data(), std::min<std::size_t>(name.size(), 31) * sizeof(char16_t));
    EXPECT_EQ(callFake(FAKECPATH_IOCTL_OCCUPY, req), kSuccess);
    return req.status;
}

QueryAnswer ChangerBusTest::query(std::u16string_view device, uint32_t outputLength) {
    return bus_view::QueryDevices(*app_, device, kIocQueryDevices, outputLength);
}

NTSTATUS ChangerBusTest::openChanger(uint32_t number, HANDLE* handle) {
    *handle = nullptr;
    return app_->createFile(handle, u"\\\\.\\Changer" + Widen(std::to_string(number)), GENERIC_READ | GENERIC_WRITE);
}

NTSTATUS ChangerBusTest::closeHandle(HANDLE handle) { return app_->close(handle); }

NTSTATUS ChangerBusTest::control(HANDLE handle, uint32_t code, const std::vector<uint8_t>& input, uint32_t outLength,
                                 std::vector<uint8_t>* output, ULONG_PTR* information) {
    std::size_t size = std::max<std::size_t>({input.size(), outLength, 1});
    auto* buffer = static_cast<uint8_t*>(app_->alloc(size));
    std::copy(input.begin(), input.end(), buffer);
    ULONG_PTR info = 0;
    NTSTATUS status = app_->deviceIoControl(handle, code, input.empty() ? nullptr : buffer,
                                            static_cast<ULONG>(input.size()), outLength ? buffer : nullptr, outLength,
                                            &info);
    if (output != nullptr) {
        output->assign(buffer, buffer + size);
    }
    if (information != nullptr) {
        *information = info;
    }
    app_->free(buffer);
    return status;
}

NTSTATUS ChangerBusTest::moveMedium(HANDLE handle) {
    // CHANGER_MOVE_MEDIUM: transport, source slot 0, destination drive 0, flip.
    std::vector<uint8_t> move(40, 0);
    move[8] = 0x02;   // source: ChangerSlot
    move[16] = 0x04;  // destination: ChangerDrive
    return control(handle, kIoctlChangerMoveMedium, move, 0);
}

NTSTATUS ChangerBusTest::positionTransport(HANDLE handle) {
    // CHANGER_SET_POSITION: transport, destination drive 0, flip.
    std::vector<uint8_t> position(20, 0);
    position[8] = 0x04;  // destination: ChangerDrive
    return control(handle, kIoctlChangerSetPosition, position, 0);
}

bool ChangerBusTest::deviceExists(std::u16string_view name) { return sim::FindDevice(name) != nullptr; }

std::u16string ChangerBusTest::changerName(uint32_t number) {
    return u"\\Device\\Changer" + Widen(std::to_string(number));
}

std::vector<ChangerBusTest::Event> ChangerBusTest::busEvents() {
    std::vector<Event> events;
    for (const auto& entry : machine().eventLog().entries()) {
        if (entry.source.driverName == u"\\Driver\\vorkacbus") {
            events.push_back({static_cast<uint32_t>(entry.errorCode), entry.strings});
        }
    }
    return events;
}

}  // namespace vorka::cbus_test
