// How a request travels down a stack of three devices and back up: which completion
// routines run, with which device object, when STATUS_MORE_PROCESSING_REQUIRED stops the
// way back, how "pending" propagates, and what the verifier says about completing twice,
// touching a freed IRP or letting an allocated IRP complete to nobody.
#include <wdm.h>

#include <atomic>
#include <thread>
#include <vector>

#include "sim/drivers.h"
#include "sim/pool.h"
#include "vorka_test_support.h"

namespace {

// ---- A three-layer stack whose behaviour each test sets up --------------------------------

enum Layer { Bottom = 0, Middle = 1, Top = 2 };

struct LayerScript {
    bool setRoutine = false;  // the layer sets a completion routine on the request it passes down
    bool onSuccess = true, onError = true, onCancel = true;
    bool routineStops = false;  // the routine returns STATUS_MORE_PROCESSING_REQUIRED
    bool markPendingInRoutine = true;
    bool forgetsToSkip = false;  // passes the request down without giving it a location
};

struct RoutineCall {
    PIRP irp;
    Layer layer;
    PDEVICE_OBJECT device;
    BOOLEAN pendingReturned;
    NTSTATUS status;
};

struct Script {
    LayerScript layers[3];
    NTSTATUS bottomStatus = STATUS_SUCCESS;
    bool bottomPends = false;  // the bottom returns STATUS_PENDING and completes on another thread
    std::vector<RoutineCall> calls;
    std::mutex mutex;
    std::thread completer;
} script;

PDEVICE_OBJECT devices[3];

struct LayerExtension {
    Layer layer;
    PDEVICE_OBJECT lower;
};

LayerExtension* Ext(PDEVICE_OBJECT device) { return static_cast<LayerExtension*>(device->DeviceExtension); }

NTSTATUS Routine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto layer = static_cast<Layer>(reinterpret_cast<uintptr_t>(context));
    {
        std::lock_guard lock(script.mutex);
        script.calls.push_back({irp, layer, device, irp->PendingReturned, irp->IoStatus.Status});
    }
    if (script.layers[layer].routineStops) return STATUS_MORE_PROCESSING_REQUIRED;
    if (irp->PendingReturned && script.layers[layer].markPendingInRoutine) IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    LayerExtension* ext = Ext(device);
    if (ext->layer == Bottom) {
        irp->IoStatus.Status = script.bottomStatus;
        irp->IoStatus.Information = 0;
        if (script.bottomPends) {
            IoMarkIrpPending(irp);
            script.completer = std::thread([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
            return STATUS_PENDING;
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    const LayerScript& layer = script.layers[ext->layer];
    if (layer.forgetsToSkip) return IoCallDriver(ext->lower, irp);
    if (layer.setRoutine) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Routine, reinterpret_cast<PVOID>(static_cast<uintptr_t>(ext->layer)),
                               layer.onSuccess, layer.onError, layer.onCancel);
        if (layer.routineStops) {
            // The layer keeps the request after its routine stopped the completion, and
            // completes it itself later: the request is pending for its caller.
            IoMarkIrpPending(irp);
            IoCallDriver(ext->lower, irp);
            return STATUS_PENDING;
        }
    } else {
        IoSkipCurrentIrpStackLocation(irp);
    }
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS LayersEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = Dispatch;
    PDEVICE_OBJECT below = nullptr;
    for (int layer = Bottom; layer <= Top; ++layer) {
        NTSTATUS status = IoCreateDevice(driver, sizeof(LayerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                         &devices[layer]);
        if (!NT_SUCCESS(status)) return status;
        Ext(devices[layer])->layer = static_cast<Layer>(layer);
        Ext(devices[layer])->lower = below ? IoAttachDeviceToDeviceStack(devices[layer], below) : nullptr;
        below = devices[layer];
    }
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        for (int layer = Top; layer >= Bottom; --layer) {
            if (Ext(devices[layer])->lower) IoDetachDevice(Ext(devices[layer])->lower);
            IoDeleteDevice(devices[layer]);
        }
    };
    return STATUS_SUCCESS;
}

class Completion : public vorka_test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        script.calls.clear();
        for (auto& layer : script.layers) layer = LayerScript{};
        script.bottomStatus = STATUS_SUCCESS;
        script.bottomPends = false;
        ASSERT_EQ(machine().drivers().loadBuiltIn(u"ktlayers", LayersEntry), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (script.completer.joinable()) script.completer.join();
        MachineTest::TearDown();
    }

    // A threaded request, built the way a driver asks another for something.
    NTSTATUS SendThreaded(IO_STATUS_BLOCK* iosb, KEVENT* event) {
        KeInitializeEvent(event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0x222000, devices[Top], nullptr, 0, nullptr, 0, FALSE, event, iosb);
        return IoCallDriver(devices[Top], irp);
    }

    std::vector<Layer> CalledLayers() {
        std::vector<Layer> layers;
        for (auto& call : script.calls) layers.push_back(call.layer);
        return layers;
    }
};

TEST_F(Completion, RoutinesRunBottomUpOnlyForTheOutcomeTheyAskedFor) {
    script.layers[Top] = {true, /*success*/ false, /*error*/ true, /*cancel*/ false};
    script.layers[Middle] = {true, /*success*/ true, /*error*/ false, /*cancel*/ false};
    IO_STATUS_BLOCK iosb{};
    KEVENT event;

    script.bottomStatus = STATUS_SUCCESS;
    EXPECT_EQ(SendThreaded(&iosb, &event), STATUS_SUCCESS);
    EXPECT_EQ(CalledLayers(), (std::vector<Layer>{Middle}));

    script.calls.clear();
    script.bottomStatus = STATUS_IO_DEVICE_ERROR;
    iosb.Status = STATUS_PENDING;
    EXPECT_EQ(SendThreaded(&iosb, &event), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(CalledLayers(), (std::vector<Layer>{Top}));
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "a request that failed at once leaves the status block alone";
}

TEST_F(Completion, EveryRoutineSeesTheDeviceOfTheDriverThatSetIt) {
    script.layers[Top].setRoutine = true;
    script.layers[Middle].setRoutine = true;
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    ASSERT_EQ(SendThreaded(&iosb, &event), STATUS_SUCCESS);
    ASSERT_EQ(script.calls.size(), 2u);
    EXPECT_EQ(script.calls[0].layer, Middle);
    EXPECT_EQ(script.calls[0].device, devices[Middle]);
    EXPECT_EQ(script.calls[1].layer, Top);
    EXPECT_EQ(script.calls[1].device, devices[Top]);
}

TEST_F(Completion, ARoutineOnTheCallersOwnLocationGetsNoDevice) {
    // The allocator of a request has no location of its own: its routine sees NULL.
    PIRP irp = IoAllocateIrp(devices[Top]->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    struct Seen {
        PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    } seen;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP, PVOID context) -> NTSTATUS {
            static_cast<Seen*>(context)->device = device;
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(devices[Top], irp), STATUS_SUCCESS);
    EXPECT_EQ(seen.device, nullptr);
    IoFreeIrp(irp);
}

TEST_F(Completion, MoreProcessingRequiredHoldsTheRequestUntilItIsCompletedAgain) {
    // The middle driver forwards synchronously and completes the request itself afterwards
    // (the pattern of a driver that waits for a lower driver's answer).
    script.layers[Top].setRoutine = true;
    script.layers[Middle].setRoutine = true;
    script.layers[Middle].routineStops = true;
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    KEVENT event;
    SendThreaded(&iosb, &event);
    EXPECT_EQ(CalledLayers(), (std::vector<Layer>{Middle}));
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "the caller must not see the request completed yet";
    EXPECT_EQ(KeReadStateEvent(&event), 0);

    // The request still belongs to the middle driver, which completes it again later.
    ASSERT_EQ(script.calls.size(), 1u);
    IoCompleteRequest(script.calls[0].irp, IO_NO_INCREMENT);
    EXPECT_EQ(CalledLayers(), (std::vector<Layer>{Middle, Top}));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

}  // namespace

namespace {

TEST_F(Completion, PendingTravelsUpToTheCallerThroughLayersWithoutRoutines) {
    script.bottomPends = true;
    script.layers[Top].setRoutine = true;  // the middle layer only skips its location
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    NTSTATUS status = SendThreaded(&iosb, &event);
    EXPECT_EQ(status, STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    ASSERT_EQ(script.calls.size(), 1u);
    EXPECT_TRUE(script.calls[0].pendingReturned) << "the bottom's pending mark reached the top's routine";
}

TEST_F(Completion, ALayerThatDoesNotPassPendingUpIsReported) {
    // The middle layer's routine forgets IoMarkIrpPending while the request was pending
    // below: the middle returned STATUS_PENDING (its caller's answer) with its own location
    // unmarked, and the caller would wait for an event nobody sets.
    script.bottomPends = true;
    script.layers[Middle].setRoutine = true;
    script.layers[Middle].markPendingInRoutine = false;
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    EXPECT_EQ(SendThreaded(&iosb, &event), STATUS_PENDING);
    script.completer.join();
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("returned STATUS_PENDING without marking the request pending"), std::string::npos)
        << reports[0];
    EXPECT_NE(reports[0].find("stack location 3"), std::string::npos) << reports[0];
}

TEST_F(Completion, ARequestCompletedAtOnceIsNotPendingForAnyone) {
    script.layers[Top].setRoutine = true;
    script.layers[Middle].setRoutine = true;
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    EXPECT_EQ(SendThreaded(&iosb, &event), STATUS_SUCCESS);
    ASSERT_EQ(script.calls.size(), 2u);
    EXPECT_FALSE(script.calls[0].pendingReturned);
    EXPECT_FALSE(script.calls[1].pendingReturned);
}

TEST_F(Completion, ACancelledRequestRunsTheRoutinesThatAskedForCancel) {
    script.layers[Top] = {true, /*success*/ false, /*error*/ false, /*cancel*/ true};
    script.layers[Middle] = {true, /*success*/ false, /*error*/ false, /*cancel*/ false};
    script.bottomStatus = STATUS_SUCCESS;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, devices[Top], nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    irp->Cancel = TRUE;  // as after IoCancelIrp found no cancel routine
    IoCallDriver(devices[Top], irp);
    EXPECT_EQ(CalledLayers(), (std::vector<Layer>{Top}));
}

TEST_F(Completion, CompletingARequestTwiceIsReported) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
        TRUE, TRUE, TRUE);
    IoCallDriver(devices[Bottom], irp);  // the bottom completes it once
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // nobody may complete it again
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("completed twice"), std::string::npos) << reports[0];
    IoFreeIrp(irp);
}

TEST_F(Completion, UsingAFreedRequestIsReported) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoFreeIrp(irp);
    IoCallDriver(devices[Bottom], irp);
    IoFreeIrp(irp);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].find("IofCallDriver"), std::string::npos);
    EXPECT_NE(reports[0].find("already freed"), std::string::npos);
    EXPECT_NE(reports[1].find("IoFreeIrp"), std::string::npos);
}

TEST_F(Completion, AnAllocatedRequestCompletedToNobodyIsReported) {
    // The allocator forgot to stop the completion with STATUS_MORE_PROCESSING_REQUIRED.
    PIRP irp = IoAllocateIrp(devices[Top]->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoCallDriver(devices[Top], irp);
    auto reports = takeViolations();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("belongs to no thread"), std::string::npos) << reports[0];
    IoFreeIrp(irp);
}

TEST_F(Completion, ALeakedRequestIsReportedAtShutdown) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    shutdownMachine();
    auto reports = takeViolations();
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports[0].find("never freed"), std::string::npos) << reports[0];
}

TEST_F(Completion, InjectedPoolFailuresAlsoFailIrpAllocation) {
    machine().pool().failTag(sim::PoolTag("Irp "));
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    machine().pool().clearFailures();
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
}

using CompletionDeathTest = Completion;

TEST_F(CompletionDeathTest, CallingPastTheLastStackLocationStopsTheMachine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // One location for a stack of three is enough only while every layer skips its own.
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
            script.layers[Top].forgetsToSkip = true;
            IoCallDriver(devices[Top], irp);
        },
        "NO_MORE_IRP_STACK_LOCATIONS");
}

}  // namespace
