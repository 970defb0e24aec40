// A simulated machine with a SAN of tape drives, as the tape tests need it: the
// SAN adapter enumerates every path, each path's stack is the base tape driver
// vorkatape with the path filter vorkatflt on top, and the tape bus is either the
// real vorkatbus or the fake control device of fakes.h. Plus the ways tests talk
// to the stacks: as kernel code, as the bus forwarding a request (entered in the
// status table with its record), and as an application in its own process.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/hw/san.h"
#include "sim/machine.h"
#include "sim/pnp.h"
#include "sim/process.h"
#include "vorkatape/tape_query.h"

#include "fakes.h"

namespace tapetest {

// True when the test binary runs in the SAN adapter's DPC completion mode (ctest runs the
// tape, filter and bus binaries a second time with VORKA_SAN_COMPLETION=dpc).
bool SanCompletesFromDpc();

struct RigOptions {
    bool forcePending = false;                // vorkatape answers requests later, from a worker thread
    // The SAN adapter completes about half of the requests from a DPC at DISPATCH_LEVEL.
    bool completeFromDpc = SanCompletesFromDpc();
    bool realBus = false;                     // vorkatbus instead of the fake control device
    bool busEvents = false;                   // the real bus's "FailoverEventsEnabled"
    std::optional<std::uint32_t> failoverDriver;  // vorkatflt's "FailoverDriver" value
    std::uint32_t setExtInBaseDelayMs = 0;
    bool changers = false;                    // vorkachgr on every library control path
    bool changerFilter = false;               // with vorkacflt above vorkachgr
    // Runs after the drivers are installed and before the SAN adapter enumerates the paths
    // (a test loads the control device its filters open here).
    std::function<void(sim::Machine&)> beforeEnumeration;
};

// One path's device stack: the adapter's PDO, vorkatape's \Device\Tape<n>, vorkatflt on top.
struct PathStack {
    sim::hw::Path* path = nullptr;
    std::u16string instance;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT base = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    ULONG baseNumber = 0;
    std::u16string Win32Name() const;  // \\.\Tape<n>
};

struct Reply {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
};

// A buffered device-control request built in the kernel and sent to `device`, as one
// driver sends it to another (RequestorMode KernelMode); waits for it.
Reply KernelControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength, void* output,
                    ULONG outputLength);

// A request as the tape bus forwards it: in the bus's status table, paired with its
// status record, while it travels down the path.
struct Forwarded {
    Reply reply;
    SCSI_STATUS record{};
    std::vector<std::uint8_t> data;  // output buffer (control) or the data read
};
Forwarded ForwardControl(PIRPS_WITH_STATUS table, PDEVICE_OBJECT device, ULONG code, std::vector<std::uint8_t> input,
                         ULONG outputLength, std::uint64_t preemptKey = 0);
Forwarded ForwardRead(PIRPS_WITH_STATUS table, PDEVICE_OBJECT device, ULONG length, std::uint64_t preemptKey = 0);
Forwarded ForwardWrite(PIRPS_WITH_STATUS table, PDEVICE_OBJECT device, const std::vector<std::uint8_t>& data,
                       std::uint64_t preemptKey = 0);

// An IRP the test builds itself: `setup` fills its next stack location (the one the
// device sees); sent and waited for, then freed. With a table, the request travels
// as a forwarded one, paired with `record`.
Reply SendIrp(PDEVICE_OBJECT device, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
              PIRPS_WITH_STATUS table = nullptr, SCSI_STATUS* record = nullptr);

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed);

class Rig {
public:
    explicit Rig(RigOptions options = {});
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    sim::hw::San& San() { return san_; }
    // A drive with this serial number (tweak adjusts its configuration).
    sim::hw::TapeDrive& AddDrive(const std::string& serial, const std::function<void(sim::hw::DriveConfig&)>& tweak = {});

    // Boots the machine with the SAN as built so far: the bus, the tape path stack
    // bindings and the SAN adapter, whose paths then start.
    void Boot();
    sim::Machine& Machine() { return *machine_; }
    fakes::BusScript& Bus() { return bus_; }
    void Settle();

    std::vector<PathStack> Stacks();
    // The started changer path stacks (the adapter's PDO, then vorkachgr's \Device\Changer<n>).
    std::vector<std::vector<PDEVICE_OBJECT>> ChangerStacks();
    std::optional<PathStack> StackOf(const sim::hw::Path& path);
    vorka::tape::PathState Query(const PathStack& stack);

    // A root device with the scripted base driver vorkastubtape under vorkatflt.
    std::u16string AddStubTape(fakes::StubScript& script);
    // The stack of a root device (bottom first).
    std::vector<PDEVICE_OBJECT> StackOfInstance(std::u16string_view instance);

private:
    RigOptions options_;
    sim::hw::San san_;
    fakes::BusScript bus_;
    std::unique_ptr<sim::Machine> machine_;
};

// A 32-bit process's SCSI_PASS_THROUGH_DIRECT32 record reading `length` bytes into `data` (an
// allocation of that process) with the 6-byte `cdb`, 32 bytes of room for sense behind it.
std::vector<std::uint8_t> DirectRead32(sim::Process& process, void* data, ULONG length,
                                       std::initializer_list<std::uint8_t> cdb);

// An application in its own simulated process with one handle.
class App {
public:
    explicit App(sim::Machine& machine, bool is32Bit = false);
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    NTSTATUS Open(std::u16string_view name, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE);
    NTSTATUS Close();
    Reply Control(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength);
    template <typename T>
    Reply Control(ULONG code, T* inOut) {
        return Control(code, inOut, sizeof(T), inOut, sizeof(T));
    }
    // A request whose one buffer is both input and output.
    Reply Control(ULONG code, std::vector<std::uint8_t>* inOut) {
        return Control(code, inOut->data(), static_cast<ULONG>(inOut->size()), inOut->data(),
                       static_cast<ULONG>(inOut->size()));
    }
    Reply Write(const std::vector<std::uint8_t>& data);
    Reply Read(std::vector<std::uint8_t>* data, ULONG length);
    sim::Process& Process() { return process_; }

private:
    sim::Machine& machine_;
    sim::Process& process_;
    HANDLE handle_ = nullptr;
};

}  // namespace tapetest
