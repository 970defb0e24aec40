// Threads: system threads created by drivers (PsCreateSystemThread), the
// kernel's own worker threads, thread priorities and identities.

#include <cstdlib>

#include "kinternal.h"

using sim::ReportViolation;

namespace sim::k {

namespace {

// Thrown by PsTerminateSystemThread and caught at the bottom of the thread.
struct ThreadExit {
    NTSTATUS status;
};

void CheckThreadEnd(const char* what) {
    auto& state = Current();
    if (state.irql != PASSIVE_LEVEL || state.spinLocksHeld || state.criticalRegion || state.guardedRegion)
        ReportViolation(std::string(what) + " ended at IRQL " + std::to_string(state.irql) + " with " +
                        std::to_string(state.spinLocksHeld) + " spin lock(s) held and critical region depth " +
                        std::to_string(state.criticalRegion));
    state.irql = PASSIVE_LEVEL;
    state.spinLocksHeld = 0;
    state.criticalRegion = 0;
    state.guardedRegion = 0;
}

}  // namespace

// ---- Kernel worker threads ----------------------------------------------------------------------

KernelWorker::KernelWorker(std::string name, unsigned threads) : name_(std::move(name)) {
    for (unsigned i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { loop(); });
        threadIds_.push_back(threads_.back().get_id());
    }
}

KernelWorker::~KernelWorker() { stop(); }

void KernelWorker::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
}

bool KernelWorker::onWorker() const {
    auto me = std::this_thread::get_id();
    for (auto id : threadIds_)
        if (id == me) return true;
    return false;
}

void KernelWorker::runSync(std::function<void()> job) {
    if (onWorker()) {
        job();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    post([&] {
        job();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_all();
    });
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

void KernelWorker::drain() {
    if (onWorker()) return;
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return jobs_.empty() && busyCount_ == 0; });
}

void KernelWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    cv_.notify_all();
    for (auto& thread : threads_)
        if (thread.joinable()) thread.join();
}

void KernelWorker::loop() {
    Current().systemThread = true;
    std::unique_lock lock(mutex_);
    while (true) {
        cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) break;  // stopping and nothing left
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        ++busyCount_;
        lock.unlock();
        job();
        CheckThreadEnd(("a job of the kernel worker \"" + name_ + "\"").c_str());
        lock.lock();
        --busyCount_;
        if (jobs_.empty() && busyCount_ == 0) idle_.notify_all();
    }
}

void DeferToWorker(std::function<void()> job) {
    auto* impl = CurrentImpl();
    if (impl && impl->worker) impl->worker->post(std::move(job));
    else job();
}

}  // namespace sim::k

using namespace sim::k;

extern "C" {

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    sim::CheckIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    auto& kernel = Kernel();
    if (kernel.shuttingDown.load()) return STATUS_INSUFFICIENT_RESOURCES;
    auto record = std::make_unique<SystemThread>();
    SystemThread* thread = record.get();
    thread->routine = StartRoutine;
    thread->context = StartContext;
    thread->image = ImageOfAddress(reinterpret_cast<void*>(StartRoutine));
    if (thread->image) ++thread->image->runningThreads;

    void* body = CreateObject(&ThreadObjectType, sizeof(_KTHREAD));
    auto* object = new (body) _KTHREAD{};
    InitializeDispatcherHeader(&object->Header, ThreadObject, sizeof(_KTHREAD) / 4, 0);
    object->priority.store(8);
    object->process.store(nullptr);
    object->system = thread;
    static std::atomic<ULONG> nextSystemThreadId{0x1000};
    object->id = nextSystemThreadId.fetch_add(4);
    thread->object = object;  // the record's reference

    if (ThreadHandle) *ThreadHandle = kernel.kernelHandles.insert(object, THREAD_ALL_ACCESS);
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(SystemProcess()->id));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(object->id));
    }
    Reference(object);  // the running thread's own reference (its thread state holds it)
    std::thread host([thread] {
        auto& state = Current();
        state.thread = thread->object;
        state.systemThread = true;
        state.process = nullptr;
        try {
            thread->routine(thread->context);
        } catch (const ThreadExit&) {
        }
        CheckThreadEnd(("system thread " + Describe(reinterpret_cast<void*>(thread->routine)) + " of " +
                        OwnerNameOf(thread->image.get()))
                           .c_str());
        // No code of the image runs after the routine: the count drops, and the thread counts as
        // finished, before a waiter on the thread object can wake and unload the image, so a
        // driver that waited for its thread never has it reported at shutdown however long this
        // host thread takes for its last steps (the shutdown joins it before it lets go of it).
        if (thread->image) --thread->image->runningThreads;
        thread->finished.store(true);
        SignalThreadObject(thread->object);
    });
    thread->thread = std::move(host);
    {
        std::lock_guard lock(kernel.threadsMutex);
        kernel.threads.push_back(std::move(record));
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    if (!Current().systemThread || !Current().thread || !Current().thread->system) {
        ReportViolation("PsTerminateSystemThread called by a thread that is not a system thread");
        std::abort();
    }
    throw ThreadExit{ExitStatus};
}

PKTHREAD KeGetCurrentThread(VOID) { return CurrentThreadObject(); }

PETHREAD PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(CurrentThreadObject()); }

HANDLE PsGetCurrentThreadId(VOID) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(CurrentThreadObject()->id));
}

PEPROCESS PsGetCurrentProcess(VOID) { return IoGetCurrentProcess(); }

HANDLE PsGetCurrentProcessId(VOID) {
    ProcessState* process = CurrentProcess();
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>((process ? process : SystemProcess())->id));
}

BOOLEAN PsIsSystemThread(PETHREAD Thread) {
    return reinterpret_cast<_KTHREAD*>(Thread)->system != nullptr ? TRUE : FALSE;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    sim::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY)
        ReportViolation("KeSetPriorityThread: priority " + std::to_string(Priority) + " is out of range");
    return Thread->priority.exchange(Priority);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return Thread->priority.load(); }

}  // extern "C"
