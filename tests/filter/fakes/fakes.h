// Test doubles around the tape path filter, shared by the tests and the two
// doubles' driver images:
// - vorkafakebus plays the tape bus's control device \Device\VorkaTBusDvc: it keeps
//   every IOC_REGISTER and IOC_NOTIFY the filters send, answers them as the test
//   says, and owns a status table (IRPS_WITH_STATUS) the tests put requests in as
//   the bus would;
// - vorkastubtape plays a base tape driver under the filter: it answers exactly
//   the requests the test scripts, records what reaches it, and can hold requests.
//
// A test owns the script object and hands its address to the driver image through
// the registry value "ScriptAddress" (REG_QWORD) under the service's Parameters key;
// the driver reads it when it loads (fake bus) or when a device is added (stub).
// Host C++ on both sides; every access to the scripts is under their mutex.
#pragma once

#include <algorithm>
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
#include <ntddstor.h>
#include <ntddtape.h>

#include "defines.h"
#include "fake_bus_driver.h"
#include "script_address.h"

namespace fakes {

inline constexpr char16_t kFakeBusService[] = u"vorkafakebus";
inline constexpr char16_t kStubService[] = u"vorkastubtape";
inline constexpr char16_t kStubHardwareId[] = u"root\\vorkastubtape";
inline constexpr char16_t kScriptValue[] = u"ScriptAddress";


// ---- The tape bus's control device -------------------------------------------------------------

struct BusScript : BusScriptOf<TAPE_REG_DVC, TAPE_NFY_DVC> {
    // Tape number answered to a registering filter device; default: 100, 101, ... by
    // order of first registration.
    std::map<PDEVICE_OBJECT, ULONG> tapeNumbers;

    ULONG NumberFor(const TAPE_REG_DVC& record) {
        auto it = tapeNumbers.find(record.pDvcObj);
        if (it == tapeNumbers.end()) {
            it = tapeNumbers.emplace(record.pDvcObj, 100 + static_cast<ULONG>(tapeNumbers.size())).first;
        }
        return it->second;
    }

    std::vector<TAPE_NFY_DVC> NotificationsOf(PDEVICE_OBJECT filter) {
        std::lock_guard lock(mutex);
        std::vector<TAPE_NFY_DVC> out;
        for (const auto& n : notifications) {
            if (n.pDvcObj == filter) out.push_back(n);
        }
        return out;
    }
    std::vector<TAPE_REG_DVC> RegistrationsCopy() {
        std::lock_guard lock(mutex);
        return registrations;
    }
};

// Enters a request and its status record in the fake bus's table, as the bus does
// before it forwards a request, and takes it out again (slots 2 to 62 of the head
// block, as the bus hands them out).
class TableEntry {
public:
    TableEntry(PIRPS_WITH_STATUS table, PIRP irp, PSCSI_STATUS record) : table_(table) {
        KIRQL irql;
        KeAcquireSpinLock(&table_->slLock, &irql);
        for (ULONG i = IRPS_WITH_STATUS_FIRST_BUS_SLOT; i < IRPS_WITH_STATUS_SLOTS; ++i) {
            if ((table_->ullBitmap & (1ULL << i)) == 0) {
                slot_ = i;
                table_->Slots[i].pIrp = irp;
                table_->Slots[i].pScsiStatus = record;
                table_->ullBitmap |= 1ULL << i;
                break;
            }
        }
        KeReleaseSpinLock(&table_->slLock, irql);
    }
    ~TableEntry() {
        if (slot_ == 0) return;
        KIRQL irql;
        KeAcquireSpinLock(&table_->slLock, &irql);
        table_->Slots[slot_].pIrp = nullptr;
        table_->Slots[slot_].pScsiStatus = nullptr;
        table_->ullBitmap &= ~(1ULL << slot_);
        KeReleaseSpinLock(&table_->slLock, irql);
    }
    TableEntry(const TableEntry&) = delete;
    TableEntry& operator=(const TableEntry&) = delete;

private:
    PIRPS_WITH_STATUS table_;
    ULONG slot_ = 0;
};

// ---- A scripted base tape driver -----------------------------------------------------------------

struct StubReply {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<std::uint8_t> data;  // copied to the start of the system buffer
};

struct StubSeen {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;                 // device-control code
    bool inTable = false;           // the request was in the bus's table when it arrived
    std::uint64_t preemptKey = 0;   // IOC_PREEMPT_RESERVATION: the key it carried
    std::uint64_t recordPreempt = 0;  // scPreempt of the request's record when it arrived
    PIRP irp = nullptr;
};

struct StubScript {
    std::mutex mutex;
    std::condition_variable changed;

    // Answers by device-control code; a code without an entry fails with
    // STATUS_INVALID_DEVICE_REQUEST.
    std::map<ULONG, StubReply> replies;
    NTSTATUS createStatus = STATUS_SUCCESS;
    // Called (outside the mutex) with every close before it completes.
    std::function<void(PIRP)> onClose;

    // Answering later: every request but PnP and power is marked pending and completed
    // from a worker thread, so that a caller which does not wait for STATUS_PENDING shows.
    bool answerLater = false;

    // Holding: requests other than PnP and power wait inside the stub until released.
    bool hold = false;
    int held = 0;

    // Gating the removal: IRP_MN_REMOVE_DEVICE waits in the stub while this is set.
    bool gateRemove = false;

    std::vector<StubSeen> seen;
    PIRPS_WITH_STATUS table = nullptr;  // from IOC_SET_EXT_IN_BASE

    void Reply(ULONG code, NTSTATUS status, std::vector<std::uint8_t> data = {}) {
        std::lock_guard lock(mutex);
        replies[code] = StubReply{status, std::move(data)};
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
    void OpenRemoveGate() {
        std::lock_guard lock(mutex);
        gateRemove = false;
        changed.notify_all();
    }
    // Waits until `count` requests are held inside the stub.
    bool WaitHeld(int count, int timeoutMs = 5000) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return held >= count; });
    }
    std::vector<StubSeen> Seen() {
        std::lock_guard lock(mutex);
        return seen;
    }
    std::vector<StubSeen> SeenWithCode(ULONG code) {
        std::vector<StubSeen> out;
        for (const auto& s : Seen()) {
            if (s.major == IRP_MJ_DEVICE_CONTROL && s.code == code) out.push_back(s);
        }
        return out;
    }
};

}  // namespace fakes
