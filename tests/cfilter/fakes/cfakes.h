// Test doubles around the changer path filter, shared by the tests and the two
// doubles' driver images:
// - vorkafakecbus plays the changer bus's control device \Device\VorkaCBusDvc: it
//   keeps every IOC_REGISTER and IOC_NOTIFY the filters send, answers them as the
//   test says, and owns a status table (IRPS_WITH_STATUS);
// - vorkastubchgr plays a base changer driver under the filter: it answers the
//   private requests the test scripts, records every request that reaches it with
//   its buffers as they arrived, notes what slot 0 of the bus's table named while
//   IOC_SET_EXT_IN_BASE was with it, and can hold requests.
//
// A test owns the script object and hands its address to the driver image through
// the registry value "ScriptAddress" (REG_QWORD) under the service's Parameters key.
// Host C++ on both sides; every access to the scripts is under their mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>
#include <ntddscsi.h>

#include "defines.h"
#include "fake_bus_driver.h"
#include "script_address.h"

namespace cfakes {

inline constexpr char16_t kFakeBusService[] = u"vorkafakecbus";
inline constexpr char16_t kStubService[] = u"vorkastubchgr";
inline constexpr char16_t kStubHardwareId[] = u"root\\vorkastubchgr";
inline constexpr char16_t kScriptValue[] = u"ScriptAddress";

using fakes::ParametersKey;

// ---- The changer bus's control device ---------------------------------------------------------

struct BusScript : fakes::BusScriptOf<CHGR_REG_DVC, CHGR_NFY_DVC> {
    ULONG nextChangerNumber = 7;  // answered to the next registering path

    ULONG NumberFor(const CHGR_REG_DVC&) { return nextChangerNumber++; }

    std::vector<CHGR_REG_DVC> Registrations() {
        std::lock_guard lock(mutex);
        return registrations;
    }
    std::vector<ULONG> StatesOf(PDEVICE_OBJECT filter) {
        std::lock_guard lock(mutex);
        std::vector<ULONG> out;
        for (const auto& n : notifications) {
            if (n.pDvcObj == filter) out.push_back(n.ePnp);
        }
        return out;
    }
};

// ---- A scripted base changer driver -----------------------------------------------------------

struct Reply {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<std::uint8_t> data;  // copied to the start of the system buffer
};

struct Seen {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;                     // device-control code
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    std::vector<std::uint8_t> input;    // the system buffer's input bytes as they arrived
    PVOID systemBuffer = nullptr;
    PVOID type3Input = nullptr;
    PVOID userBuffer = nullptr;
    PMDL mdl = nullptr;
    KPROCESSOR_MODE requestorMode = KernelMode;
    PFILE_OBJECT fileObject = nullptr;
    PIRP irp = nullptr;
};

// What the base driver found in the bus's table while IOC_SET_EXT_IN_BASE was with it.
struct Handshake {
    PIRPS_WITH_STATUS table = nullptr;
    ULONGLONG bitmap = 0;
    bool slot0Named = false;
    ULONG slot0Value = 0;             // the ULONG slot 0's record address names
    PVOID slot1 = nullptr;
};

struct StubScript {
    std::mutex mutex;
    std::condition_variable changed;

    std::map<ULONG, Reply> replies;   // by code; a code without an entry: STATUS_INVALID_DEVICE_REQUEST
    bool hold = false;                // requests other than PnP and power wait inside the stub
    int held = 0;

    std::vector<Seen> seen;
    std::vector<Handshake> handshakes;

    void Answer(ULONG code, NTSTATUS status, std::vector<std::uint8_t> data = {}) {
        std::lock_guard lock(mutex);
        replies[code] = Reply{status, std::move(data)};
    }
    void Hold() {
        std::lock_guard lock(mutex);
        hold = true;
    }
    void Release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
    bool WaitHeld(int count, int timeoutMs = 5000) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return held >= count; });
    }
    std::vector<Seen> SeenCopy() {
        std::lock_guard lock(mutex);
        return seen;
    }
    std::vector<Seen> SeenWithCode(ULONG code) {
        std::vector<Seen> out;
        for (const auto& s : SeenCopy()) {
            if (s.major == IRP_MJ_DEVICE_CONTROL && s.code == code) out.push_back(s);
        }
        return out;
    }
    std::vector<Handshake> Handshakes() {
        std::lock_guard lock(mutex);
        return handshakes;
    }
};

}  // namespace cfakes
