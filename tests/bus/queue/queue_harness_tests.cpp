// The tape bus's request queue on the harness device (vorkaqharness): the queue code is the bus's
// own, the processing routine a script that logs which worker ran each request, waits at gates the
// test opens, and sends nested requests to its own device as the failover engine does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <ntddscsi.h>

#include "kernel_request.h"
#include "queueharness_ioctl.h"
#include "sim/drivers.h"
#include "sim/pool.h"
#include "vorka_test_support.h"

namespace {

using vorka_test::KernelIoctl;
using vorka_test::KernelResult;

constexpr std::u16string_view kDevice = u"\\Device\\VorkaQueueHarness";
const ULONG kQueueNodeTag = sim::PoolTag("gODP");
const ULONG kTableBlockTag = sim::PoolTag("hSUB");

// Filled by the sending thread; status turns non-zero once the request completed.
struct OpReply {
    std::atomic<NTSTATUS> status{0};
    QH_OP_RESULT result{};
};

class RequestQueue : public vorka_test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"vorkaqharness");
        ASSERT_EQ(machine().drivers().load(u"vorkaqharness"), STATUS_SUCCESS);
    }
    void TearDown() override {
        for (ULONG g = 0; g < QH_GATES; ++g) OpenGate(g);
        for (auto& t : threads_) t.join();
        MachineTest::TearDown();
    }

    static void Send(OpReply* reply, ULONG id, ULONG nest = 0, ULONG gate = 0) {
        QH_OP op{id, nest, gate};
        QH_OP_RESULT result{};
        NTSTATUS status = KernelIoctl(kDevice, QH_IOCTL_OP, &op, sizeof op, &result, sizeof result).status;
        reply->result = result;
        reply->status = status;
    }
    static NTSTATUS Op(ULONG id) {
        OpReply reply;
        Send(&reply, id);
        return reply.status;
    }
    // Sends an op from a thread of its own; the reply lands in *reply.
    void OpAsync(ULONG id, OpReply* reply, ULONG nest = 0, ULONG gate = 0) {
        threads_.emplace_back([=] { Send(reply, id, nest, gate); });
    }
    void Spawn(std::function<void()> body) { threads_.emplace_back(std::move(body)); }
    void JoinAll() {
        for (auto& t : threads_) t.join();
        threads_.clear();
    }

    static void OpenGate(ULONG gate) {
        ULONG g = gate;
        KernelIoctl(kDevice, QH_IOCTL_GATE, &g, sizeof g, nullptr, 0);
    }
    static std::vector<QH_LOG_ENTRY> Log() {
        auto log = std::make_unique<QH_LOG>();
        KernelIoctl(kDevice, QH_IOCTL_LOG, nullptr, 0, log.get(), sizeof(QH_LOG));
        return {log->Entries, log->Entries + log->ulCount};
    }
    static QH_STATE State() {
        QH_STATE state{};
        KernelIoctl(kDevice, QH_IOCTL_STATE, nullptr, 0, &state, sizeof state);
        return state;
    }
    static QH_TABLE Table(ULONG op, ULONG count = 0) {
        QH_TABLE table{};
        table.ulOp = op;
        table.ulCount = count;
        KernelIoctl(kDevice, QH_IOCTL_TABLE, &table);
        return table;
    }
    static bool WaitFor(const std::function<bool()>& condition) {
        for (int i = 0; i < 2000; ++i) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }
    static bool Started(ULONG id) {
        for (const QH_LOG_ENTRY& e : Log())
            if (e.ulId == id && e.ulPhase == 0) return true;
        return false;
    }
    // Ids in the order their processing started.
    static std::vector<ULONG> StartOrder() {
        std::vector<ULONG> ids;
        for (const QH_LOG_ENTRY& e : Log())
            if (e.ulPhase == 0) ids.push_back(e.ulId);
        return ids;
    }
    static QH_LOG_ENTRY StartOf(ULONG id) {
        for (const QH_LOG_ENTRY& e : Log())
            if (e.ulId == id && e.ulPhase == 0) return e;
        ADD_FAILURE() << "request " << id << " never started";
        return {};
    }

    std::vector<std::thread> threads_;
};

TEST_F(RequestQueue, RequestsQueuedWhileWorkerZeroIsBusyRunInArrivalOrderAfterIt) {
    OpReply busy, a, b, c;
    OpAsync(1, &busy, 0, 1);
    ASSERT_TRUE(WaitFor([] { return Started(1); }));
    OpAsync(2, &a);
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 1; }));
    OpAsync(3, &b);
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 2; }));
    OpAsync(4, &c);
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 3; }));
    EXPECT_EQ(StartOrder(), std::vector<ULONG>({1})) << "nothing runs beside the busy request";
    OpenGate(0);
    JoinAll();
    EXPECT_EQ(StartOrder(), std::vector<ULONG>({1, 2, 3, 4}));
    for (ULONG id : {2u, 3u, 4u}) EXPECT_EQ(StartOf(id).ulThread, StartOf(1).ulThread) << "worker 0 serves them all";
    for (const OpReply* r : {&busy, &a, &b, &c}) EXPECT_EQ(r->status, STATUS_SUCCESS);
}

TEST_F(RequestQueue, ManySendersAtOnceAreServedOneAtATimeEachInItsOwnOrder) {
    constexpr ULONG kSenders = 8, kEach = 25;
    std::atomic<int> failures{0};
    for (ULONG s = 0; s < kSenders; ++s) {
        Spawn([s, &failures] {
            for (ULONG k = 0; k < kEach; ++k)
                if (Op(1000 * (s + 1) + k) != STATUS_SUCCESS) ++failures;
        });
    }
    JoinAll();
    EXPECT_EQ(failures.load(), 0);
    const std::vector<QH_LOG_ENTRY> log = Log();
    ASSERT_EQ(log.size(), 2u * kSenders * kEach) << "every request processed exactly once";
    std::vector<ULONG> next(kSenders, 0);
    for (size_t i = 0; i < log.size(); i += 2) {
        EXPECT_EQ(log[i].ulPhase, 0u);
        EXPECT_EQ(log[i + 1].ulPhase, 1u);
        EXPECT_EQ(log[i].ulId, log[i + 1].ulId) << "no request starts before the previous one finished";
        EXPECT_EQ(log[i].ulThread, log[0].ulThread) << "one worker serves the ordinary queue";
        const ULONG sender = log[i].ulId / 1000 - 1, k = log[i].ulId % 1000;
        ASSERT_LT(sender, kSenders);
        EXPECT_EQ(k, next[sender]++) << "a sender's requests keep the order it sent them in";
    }
}

TEST_F(RequestQueue, AnOpenArrivingBehindQueuedRequestsWaitsItsTurn) {
    OpReply busy, queued;
    OpAsync(1, &busy, 0, 1);
    ASSERT_TRUE(WaitFor([] { return Started(1); }));
    OpAsync(2, &queued);
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 1; }));
    std::atomic<NTSTATUS> openStatus{STATUS_PENDING};
    vorka_test::Application app(machine(), "app.exe");
    Spawn([&] { openStatus = app.open(u"\\\\.\\VorkaQueueHarness"); });
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 2; }));
    EXPECT_EQ(openStatus.load(), STATUS_PENDING) << "the open waits for the requests ahead of it";
    OpenGate(0);
    JoinAll();
    EXPECT_EQ(openStatus.load(), STATUS_SUCCESS);
    EXPECT_EQ(StartOrder(), std::vector<ULONG>({1, 2, QH_CREATE_ID}));
    EXPECT_EQ(StartOf(QH_CREATE_ID).ulThread, StartOf(1).ulThread) << "opens run on worker 0 like the rest";
}

TEST_F(RequestQueue, ANestedRequestIsServedByTheNextWorkerAheadOfQueuedOnes) {
    OpReply outer, q1, q2;
    OpAsync(10, &outer, 1, 1);
    ASSERT_TRUE(WaitFor([] { return Started(10); }));
    OpAsync(20, &q1);
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 1; }));
    OpAsync(30, &q2);
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 2; }));
    OpenGate(0);
    JoinAll();
    EXPECT_EQ(StartOrder(), std::vector<ULONG>({10, 11, 20, 30}));
    EXPECT_NE(StartOf(11).ulThread, StartOf(10).ulThread) << "another worker serves the nested request";
    EXPECT_EQ(StartOf(11).ulDepth, 1u);
    EXPECT_EQ(StartOf(20).ulThread, StartOf(10).ulThread);
    EXPECT_EQ(outer.status, STATUS_SUCCESS);
    EXPECT_EQ(outer.result.iNestedStatus, STATUS_SUCCESS);
    EXPECT_EQ(State().ulCurrentThread, 0);
    EXPECT_TRUE(State().fHighPriorityFree);
}

TEST_F(RequestQueue, TwoNestedLevelsRunOnThreeWorkers) {
    OpReply r;
    Send(&r, 40, 2);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.result.iNestedStatus, STATUS_SUCCESS);
    EXPECT_EQ(StartOrder(), std::vector<ULONG>({40, 41, 42}));
    EXPECT_EQ(StartOf(41).ulDepth, 1u);
    EXPECT_EQ(StartOf(42).ulDepth, 2u);
    EXPECT_NE(StartOf(40).ulThread, StartOf(41).ulThread);
    EXPECT_NE(StartOf(41).ulThread, StartOf(42).ulThread);
    EXPECT_NE(StartOf(40).ulThread, StartOf(42).ulThread);
}

TEST_F(RequestQueue, NestingFiveDeepIsRefusedAndLeavesTheSlotFree) {
    OpReply four, five, again;
    Send(&four, 50, 4);
    EXPECT_EQ(four.status, STATUS_SUCCESS);
    EXPECT_EQ(four.result.iNestedStatus, STATUS_SUCCESS) << "four nested levels fit the five workers";

    Send(&five, 60, 5);
    EXPECT_EQ(five.status, STATUS_SUCCESS);
    EXPECT_EQ(five.result.iNestedStatus, STATUS_INVALID_THREAD);
    EXPECT_FALSE(Started(65)) << "the fifth level is never queued";
    EXPECT_EQ(State().ulCurrentThread, 0);
    EXPECT_TRUE(State().fHighPriorityFree);

    Send(&again, 70, 4);
    EXPECT_EQ(again.result.iNestedStatus, STATUS_SUCCESS) << "later nested requests still get the slot";
}

TEST_F(RequestQueue, RemovalCancelsQueuedRequestsWaitsForTheBusyOneAndRefusesLaterOnes) {
    OpReply busy, q1, q2, q3;
    OpAsync(1, &busy, 0, 1);
    ASSERT_TRUE(WaitFor([] { return Started(1); }));
    OpAsync(2, &q1);
    OpAsync(3, &q2);
    OpAsync(4, &q3);
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 3; }));

    std::atomic<bool> killed{false};
    std::thread kill([&] {
        KernelIoctl(kDevice, QH_IOCTL_KILL, nullptr, 0, nullptr, 0);
        killed = true;
    });
    ASSERT_TRUE(WaitFor([&] { return q1.status != 0 && q2.status != 0 && q3.status != 0; }));
    EXPECT_FALSE(killed.load()) << "removal waits for the worker still busy";
    OpenGate(0);
    kill.join();
    JoinAll();
    EXPECT_EQ(busy.status, STATUS_SUCCESS) << "the request being processed finishes normally";
    for (const OpReply* r : {&q1, &q2, &q3}) EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(StartOrder(), std::vector<ULONG>({1}));
    EXPECT_EQ(Op(5), STATUS_CANCELLED) << "requests after removal are refused";
    EXPECT_EQ(State().ulWorkersRunning, 0u);
    EXPECT_EQ(machine().pool().liveCountWithTag(kQueueNodeTag), 0u);
}

TEST_F(RequestQueue, ACancelledPassThroughDirectRequestGivesItsLockedPagesBack) {
    const ULONG kMdlNodeTag = sim::PoolTag("hODP");
    vorka_test::Application app(machine(), "app.exe");
    ASSERT_EQ(app.open(u"\\\\.\\VorkaQueueHarness"), STATUS_SUCCESS);
    OpReply busy;
    OpAsync(1, &busy, 0, 1);
    ASSERT_TRUE(WaitFor([] { return Started(1); }));

    // A 64-bit record whose 4096-byte data buffer is the application's own memory.
    std::atomic<NTSTATUS> sptd{0};
    Spawn([&] {
        std::vector<std::uint8_t> record(80, 0);
        const std::uint16_t length = 56;
        std::memcpy(&record[0], &length, 2);
        record[6] = 6;
        record[8] = SCSI_IOCTL_DATA_IN;
        const std::uint32_t transfer = 4096;
        std::memcpy(&record[12], &transfer, 4);
        void* data = app.process().alloc(transfer);
        const std::uint64_t address = reinterpret_cast<std::uintptr_t>(data);
        std::memcpy(&record[24], &address, 8);
        sptd = app.ioctl(IOCTL_SCSI_PASS_THROUGH_DIRECT, record.data(), 80, nullptr, 0).status;
    });
    ASSERT_TRUE(WaitFor([] { return State().ulQueued == 1; }));
    EXPECT_EQ(machine().pool().liveCountWithTag(kMdlNodeTag), 1u) << "the buffer is locked while queued";

    std::thread kill([] { KernelIoctl(kDevice, QH_IOCTL_KILL, nullptr, 0, nullptr, 0); });
    ASSERT_TRUE(WaitFor([&] { return sptd.load() != 0; }));
    EXPECT_EQ(sptd.load(), STATUS_CANCELLED);
    EXPECT_EQ(machine().pool().liveCountWithTag(kMdlNodeTag), 0u) << "cancelled with its pages unlocked";
    OpenGate(0);
    kill.join();
    JoinAll();
    EXPECT_EQ(busy.status, STATUS_SUCCESS);
}

TEST_F(RequestQueue, NoMemoryForAQueueNodeFailsTheRequestAndFreesTheHighPrioritySlot) {
    machine().pool().failTag(kQueueNodeTag);
    EXPECT_EQ(Op(1), STATUS_INSUFFICIENT_RESOURCES);
    machine().pool().clearFailures();

    OpReply outer;
    OpAsync(10, &outer, 1, 1);
    ASSERT_TRUE(WaitFor([] { return Started(10); }));
    machine().pool().failTag(kQueueNodeTag);
    OpenGate(0);
    JoinAll();
    machine().pool().clearFailures();
    EXPECT_EQ(outer.result.iNestedStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(State().fHighPriorityFree);
    EXPECT_EQ(State().ulCurrentThread, 0);

    OpReply after;
    Send(&after, 20, 1);
    EXPECT_EQ(after.result.iNestedStatus, STATUS_SUCCESS) << "the next nested request is not stuck";
    EXPECT_EQ(machine().pool().liveCountWithTag(kQueueNodeTag), 0u);
}

TEST_F(RequestQueue, The62ndOutstandingRequestChainsASecondTableBlockFreedWhenItEmpties) {
    QH_TABLE t = Table(1, 61);
    EXPECT_EQ(t.iStatus, STATUS_SUCCESS);
    EXPECT_EQ(t.ulBlocks, 1u) << "slots 2 to 62 of the head block";
    EXPECT_EQ(t.ulLastIndex, 62u);

    machine().pool().failTag(kTableBlockTag);
    t = Table(1, 1);
    machine().pool().clearFailures();
    EXPECT_EQ(t.iStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(t.ulBlocks, 1u);
    EXPECT_EQ(t.ulEntered, 61u);

    t = Table(1, 1);
    EXPECT_EQ(t.iStatus, STATUS_SUCCESS);
    EXPECT_EQ(t.ulBlocks, 2u);
    EXPECT_EQ(t.ulLastBlock, 1u);
    EXPECT_EQ(t.ulLastIndex, 2u) << "slots 0 and 1 of every block are never given out";
    EXPECT_EQ(machine().pool().liveCountWithTag(kTableBlockTag), 1u);

    t = Table(2);
    EXPECT_EQ(t.ulBlocks, 1u) << "the emptied block is unlinked";
    EXPECT_EQ(machine().pool().liveCountWithTag(kTableBlockTag), 0u) << "and freed";
    t = Table(3);
    EXPECT_EQ(t.ulEntered, 0u);
}

}  // namespace
