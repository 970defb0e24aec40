// Runs a Windows program module (scripts/build-windows-program.sh) in a new simulated process.
//
// The module is copied to a private file and loaded with RTLD_LOCAL, so every run starts with
// fresh globals, as a new process image does. Its main runs on a thread whose stack belongs to
// the process (below 4 GB for a 32-bit process); the image's segments are the process's memory
// too, and its heap is the process's heap (runtime.cpp routes malloc and new here). exit(),
// abort() and a crash of the program unwind to this thread's start and become the exit code.
#include "sim/program.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "sim/machine.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "sim/win32_setup.h"
#include "handles.h"
#include "windows.h"

namespace sim::win32 {
namespace {

constexpr std::size_t kStackSize = 8u << 20;  // room for the kernel's calls below the program's
constexpr std::size_t kGuardSize = 64u << 10;
constexpr std::size_t kSignalStackSize = 64u << 10;

// What the program's thread knows about the run it belongs to.
struct ProgramRun {
    Process* process = nullptr;
    std::filesystem::path module;
    std::vector<std::string> argv;
    sigjmp_buf exitJump;
    std::uint32_t exitCode = 0;
    bool crashed = false;
    std::string failure;
    std::string out, err;
    void* image = nullptr;
    std::vector<const void*> imageRegions;
    // The program's other threads (CreateThread, pthread_create): the image stays loaded until
    // the last one has left the program's code.
    std::mutex threadMutex;
    std::condition_variable threadsDone;
    int liveThreads = 0;
    bool exitCalled = false;  // exit() on another thread: its code is the process's
};

thread_local ProgramRun* tRun = nullptr;

// A thread the program started: how it leaves (ExitThread, exit(), a crash) and its handle.
struct ProgramThreadFrame {
    sim::Process* process = nullptr;
    ProgramRun* run = nullptr;  // nullptr: started by host code acting for the process
    LPTHREAD_START_ROUTINE start = nullptr;
    LPVOID parameter = nullptr;
    void* (*posixStart)(void*) = nullptr;
    sigjmp_buf exitJump;
    DWORD id = 0;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    HANDLE handle = nullptr;  // an event of the process, set when the thread ends
    bool handleOpen = false;  // under gThreadMutex
    std::mutex resumeMutex;
    std::condition_variable resumed;
    bool suspended = false;
    void* posixResult = nullptr;
};

thread_local ProgramThreadFrame* tThread = nullptr;
std::mutex gThreadMutex;
std::map<std::pair<sim::Process*, HANDLE>, std::shared_ptr<ProgramThreadFrame>> gThreadHandles;

// ---- Crashes: a fault on a program's thread ends the program, not the simulator -------------

struct sigaction gPrevious[NSIG];

std::uint32_t ExceptionCodeOf(int signal) {
    switch (signal) {
    case SIGFPE: return 0xC0000094;  // STATUS_INTEGER_DIVIDE_BY_ZERO
    case SIGILL: return 0xC000001D;  // STATUS_ILLEGAL_INSTRUCTION
    default: return 0xC0000005;      // STATUS_ACCESS_VIOLATION
    }
}

void OnFault(int signal, siginfo_t* info, void* context) {
    if (ProgramThreadFrame* thread = tThread; thread && thread->run) {
        // An unhandled exception ends the process on Windows: its code is the exit code. The
        // thread that crashed ends here; the others run on to their end.
        {
            std::lock_guard lock(thread->run->threadMutex);
            thread->run->exitCode = ExceptionCodeOf(signal);
            thread->run->crashed = true;
            thread->run->exitCalled = true;
        }
        thread->exitCode = ExceptionCodeOf(signal);
        siglongjmp(thread->exitJump, 1);
    }
    if (ProgramRun* run = tRun) {
        run->exitCode = ExceptionCodeOf(signal);
        run->crashed = true;
        siglongjmp(run->exitJump, 1);
    }
    // Not a program's thread: whoever handled the signal before us does.
    const struct sigaction& previous = gPrevious[signal];
    if (previous.sa_flags & SA_SIGINFO) {
        if (previous.sa_sigaction) return previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        return previous.sa_handler(signal);
    }
    // The default action: let the fault happen again without this handler.
    sigaction(signal, &previous, nullptr);
}

void InstallFaultHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(signal, &action, &gPrevious[signal]);
    });
}

// ---- Captured standard streams ------------------------------------------------------------

ssize_t AppendTo(void* cookie, const char* data, size_t size) {
    static_cast<std::string*>(cookie)->append(data, size);
    return static_cast<ssize_t>(size);
}

ssize_t ReadNothing(void*, char*, size_t) { return 0; }

FILE* CaptureStream(std::string* into) {
    cookie_io_functions_t functions{};
    functions.write = AppendTo;
    FILE* stream = fopencookie(into, "w", functions);
    if (stream) setvbuf(stream, nullptr, _IONBF, 0);  // what a crash leaves unwritten is lost otherwise
    return stream;
}

FILE* EmptyInput() {
    cookie_io_functions_t functions{};
    functions.read = ReadNothing;
    return fopencookie(nullptr, "r", functions);
}

// ---- The image ----------------------------------------------------------------------------

// The loaded segments of the image at `path` become the process's memory (its globals).
void AddImageRegions(ProgramRun& run, const std::string& path) {
    struct Search {
        ProgramRun* run;
        const std::string* path;
    } search{&run, &path};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            if (!info->dlpi_name || *s->path != info->dlpi_name) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const auto& header = info->dlpi_phdr[i];
                if (header.p_type != PT_LOAD) continue;
                const void* start = reinterpret_cast<const void*>(info->dlpi_addr + header.p_vaddr);
                s->run->process->addRegion(start, header.p_memsz);
                s->run->imageRegions.push_back(start);
            }
            return 1;
        },
        &search);
}

using EntryFunction = int (*)(int (*)(int, char**, char**), int, char**, FILE*, FILE*, FILE*);

// The body of the program's thread: load, run main, unload; exit() and crashes come back here.
void RunOnProgramThread(ProgramRun& run) {
    CallerScope caller(*run.process);
    tRun = &run;
    std::string copy;
    FILE* in = EmptyInput();
    FILE* out = CaptureStream(&run.out);
    FILE* err = CaptureStream(&run.err);
    // Objects that live while the program runs are declared here: exit() and crashes jump back
    // past everything declared inside, whose destructors would not run.
    std::vector<char*> argv;
    if (sigsetjmp(run.exitJump, 1) == 0) {
        char name[] = "/tmp/vkprogram-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) {
            run.failure = "cannot make a private copy of the module";
        } else {
            close(fd);
            copy = name;
            std::error_code error;
            std::filesystem::copy_file(run.module, copy, std::filesystem::copy_options::overwrite_existing, error);
            if (error) run.failure = "cannot read " + run.module.string() + ": " + error.message();
        }
        if (run.failure.empty()) {
            run.image = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!run.image) run.failure = std::string("cannot load the module: ") + dlerror();
        }
        if (run.failure.empty()) {
            AddImageRegions(run, copy);
            auto entry = reinterpret_cast<EntryFunction>(dlsym(run.image, "VkProgramEntry"));
            auto programMain = reinterpret_cast<int (*)(int, char**, char**)>(dlsym(run.image, "main"));
            if (!entry || !programMain) {
                run.failure = "not a program module (built by scripts/build-windows-program.sh, with a main)";
            } else {
                // The arguments are the process's memory too: programs pass them on.
                for (const auto& arg : run.argv) {
                    auto* text = static_cast<char*>(run.process->heapAlloc(arg.size() + 1));
                    std::memcpy(text, arg.c_str(), arg.size() + 1);
                    argv.push_back(text);
                }
                argv.push_back(nullptr);
                auto** argvCopy = static_cast<char**>(run.process->heapAlloc(argv.size() * sizeof(char*)));
                std::memcpy(argvCopy, argv.data(), argv.size() * sizeof(char*));
                const auto code = static_cast<std::uint32_t>(
                    entry(programMain, static_cast<int>(run.argv.size()), argvCopy, in, out, err));
                std::lock_guard lock(run.threadMutex);
                if (!run.exitCalled) run.exitCode = code;
            }
        }
    }
    {
        // The program's other threads still run its code: the image stays until they end.
        std::unique_lock lock(run.threadMutex);
        run.threadsDone.wait(lock, [&run] { return run.liveThreads == 0; });
    }
    // A crashed image is left loaded: its destructors would run on broken state.
    if (run.image && !run.crashed && sigsetjmp(run.exitJump, 1) == 0) dlclose(run.image);
    tRun = nullptr;
    for (const void* region : run.imageRegions) run.process->removeRegion(region);
    if (in) std::fclose(in);
    if (out) std::fclose(out);
    if (err) std::fclose(err);
    if (!copy.empty()) std::remove(copy.c_str());
}

struct ThreadStart {
    ProgramRun* run;
    void* signalStack;
};

void* ProgramThread(void* argument) {
    auto* start = static_cast<ThreadStart*>(argument);
    stack_t alternate{};
    alternate.ss_sp = start->signalStack;
    alternate.ss_size = kSignalStackSize;
    sigaltstack(&alternate, nullptr);
    RunOnProgramThread(*start->run);
    alternate.ss_flags = SS_DISABLE;
    sigaltstack(&alternate, nullptr);
    return nullptr;
}

}  // namespace

ProgramResult RunProgram(Machine& machine, const std::filesystem::path& module, const ProgramOptions& options) {
    ProgramResult result;
    if (!std::filesystem::is_regular_file(module)) {
        result.failure = "no program module " + module.string();
        return result;
    }
    InstallFaultHandlers();
    ProgramRun run;
    run.module = module;
    run.argv.push_back(module.stem().string() + ".exe");
    run.argv.insert(run.argv.end(), options.args.begin(), options.args.end());
    run.process = &machine.processes().create(module.stem().string() + ".exe", options.is32Bit, options.account);

    // The program's stack: the process's memory, below 4 GB for a 32-bit process, with a guard
    // below it so that a runaway recursion is an access violation of the program.
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (options.is32Bit ? MAP_32BIT : 0);
    void* stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (stack == MAP_FAILED) {
        machine.processes().exit(*run.process);
        result.failure = "no memory for the program's stack";
        return result;
    }
    mprotect(stack, kGuardSize, PROT_NONE);
    void* usable = static_cast<char*>(stack) + kGuardSize;
    run.process->addRegion(usable, kStackSize - kGuardSize);
    std::vector<char> signalStack(kSignalStackSize);

    ThreadStart start{&run, signalStack.data()};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, stack, kStackSize);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, ProgramThread, &start) != 0) {
        run.failure = "cannot start the program's thread";
    } else {
        pthread_join(thread, nullptr);
    }
    pthread_attr_destroy(&attributes);
    run.process->removeRegion(usable);
    machine.processes().exit(*run.process);
    munmap(stack, kStackSize);

    result.exitCode = run.exitCode;
    result.crashed = run.crashed;
    result.out = std::move(run.out);
    result.err = std::move(run.err);
    result.failure = std::move(run.failure);
    return result;
}

}  // namespace sim::win32

// ---- What runtime.cpp calls ------------------------------------------------------------------

using sim::win32::tRun;
using sim::win32::tThread;
using sim::win32::ProgramThreadFrame;

extern "C" {

void* VkProgramMalloc(std::size_t size) {
    if (!tRun) return std::malloc(size);  // not on a program's thread: the host's heap
    return tRun->process->heapAlloc(size);
}

void* VkProgramCalloc(std::size_t count, std::size_t size) {
    if (size && count > SIZE_MAX / size) return nullptr;
    void* block = VkProgramMalloc(count * size);
    if (block) std::memset(block, 0, count * size);
    return block;
}

void VkProgramFree(void* block) {
    if (!block) return;
    // A block the C library allocated for the program (strdup, ...) is the host heap's.
    if (!tRun || !tRun->process->heapFree(block)) std::free(block);
}

void* VkProgramRealloc(void* block, std::size_t size) {
    if (!block) return VkProgramMalloc(size);
    if (!tRun) return std::realloc(block, size);
    auto old = tRun->process->heapBlockSize(block);
    if (!old) return std::realloc(block, size);
    void* moved = tRun->process->heapAlloc(size);
    if (!moved) return nullptr;
    std::memcpy(moved, block, std::min(*old, size));
    tRun->process->heapFree(block);
    return moved;
}

void* VkProgramAlignedAlloc(std::size_t alignment, std::size_t size) {
    if (!tRun) return std::aligned_alloc(alignment, (size + alignment - 1) & ~(alignment - 1));
    return tRun->process->heapAlloc(size, alignment);
}

std::size_t VkProgramBlockSize(const void* block) {
    if (!tRun) return 0;
    return tRun->process->heapBlockSize(block).value_or(0);
}

[[noreturn]] void VkProgramExit(int code) {
    if (!tRun) std::_Exit(code);
    if (ProgramThreadFrame* thread = tThread) {
        // exit() on another thread: the process's exit code; this thread ends now.
        {
            std::lock_guard lock(tRun->threadMutex);
            tRun->exitCode = static_cast<std::uint32_t>(code);
            tRun->exitCalled = true;
        }
        thread->exitCode = static_cast<DWORD>(code);
        siglongjmp(thread->exitJump, 1);
    }
    tRun->exitCode = static_cast<std::uint32_t>(code);
    siglongjmp(tRun->exitJump, 1);
}

// A program module run by RunProgram leaves through its exit jump; other simulated process
// code (the installer's exports) unwinds to whoever runs it as a process.
VOID ExitProcess(UINT uExitCode) {
    if (!tRun) throw sim::win32::ProcessExit{uExitCode};
    VkProgramExit(static_cast<int>(uExitCode));
}

}  // extern "C"

// ---- Threads of a program: CreateThread, and pthread_create of a program module ----------------

namespace sim::win32 {
namespace {

std::atomic<DWORD> gNextThreadId{0x1000};
thread_local DWORD tThreadId = 0;

void* ThreadMain(void* argument) {
    auto* holder = static_cast<std::shared_ptr<ProgramThreadFrame>*>(argument);
    std::shared_ptr<ProgramThreadFrame> frame = std::move(*holder);
    delete holder;
    tThreadId = frame->id;
    {
        std::unique_lock lock(frame->resumeMutex);
        frame->resumed.wait(lock, [&frame] { return !frame->suspended; });
    }
    // The thread's stack is the process's memory while it runs: buffers there reach drivers.
    void* stackStart = nullptr;
    std::size_t stackSize = 0;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &stackStart, &stackSize);
        pthread_attr_destroy(&attributes);
    }
    if (stackStart) frame->process->addRegion(stackStart, stackSize);
    // A fault of the thread is caught on a stack of its own (a stack overflow has none left).
    std::vector<char> signalStack(kSignalStackSize);
    stack_t alternate{};
    alternate.ss_sp = signalStack.data();
    alternate.ss_size = signalStack.size();
    sigaltstack(&alternate, nullptr);
    {
        CallerScope caller(*frame->process);
        tRun = frame->run;
        tThread = frame.get();
        if (sigsetjmp(frame->exitJump, 1) == 0) {
            if (frame->start) {
                frame->exitCode = frame->start(frame->parameter);
            } else {
                frame->posixResult = frame->posixStart(frame->parameter);
                frame->exitCode = 0;
            }
        }
        tThread = nullptr;
        tRun = nullptr;
    }
    alternate.ss_flags = SS_DISABLE;
    sigaltstack(&alternate, nullptr);
    if (stackStart) frame->process->removeRegion(stackStart);
    {
        // The thread's handle becomes signalled, unless the program has closed it already.
        std::lock_guard lock(gThreadMutex);
        if (frame->handleOpen) frame->process->setEvent(frame->handle);
    }
    if (ProgramRun* run = frame->run) {
        std::lock_guard lock(run->threadMutex);
        --run->liveThreads;
        run->threadsDone.notify_all();
    }
    return frame->posixResult;
}

// Starts the frame's thread; the pthread error or 0.
int StartThread(const std::shared_ptr<ProgramThreadFrame>& frame, pthread_t* thread, const pthread_attr_t* attributes) {
    if (frame->run) {
        std::lock_guard lock(frame->run->threadMutex);
        ++frame->run->liveThreads;
    }
    auto* holder = new std::shared_ptr<ProgramThreadFrame>(frame);
    pthread_t ignored;
    const int error = pthread_create(thread ? thread : &ignored, attributes, ThreadMain, holder);
    if (error != 0) {
        delete holder;
        if (frame->run) {
            std::lock_guard lock(frame->run->threadMutex);
            --frame->run->liveThreads;
        }
    }
    return error;
}

std::shared_ptr<ProgramThreadFrame> ThreadOfHandle(sim::Process* process, HANDLE handle) {
    std::lock_guard lock(gThreadMutex);
    auto it = gThreadHandles.find({process, handle});
    return it == gThreadHandles.end() ? nullptr : it->second;
}

}  // namespace

bool CloseThreadHandle(HANDLE handle) {
    Process* process = CurrentCaller();
    if (!process) return false;
    std::lock_guard lock(gThreadMutex);
    auto it = gThreadHandles.find({process, handle});
    if (it == gThreadHandles.end()) return false;
    it->second->handleOpen = false;
    process->close(handle);
    gThreadHandles.erase(it);
    return true;
}

}  // namespace sim::win32


extern "C" {

// pthread_create of a program module (std::thread, C11 threads): the new thread is a thread of
// the program's process, as a thread that CreateThread starts.
int VkProgramCreatePThread(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    sim::Process* process = sim::win32::CurrentCaller();
    if (!process) return pthread_create(thread, attributes, start, argument);
    auto frame = std::make_shared<sim::win32::ProgramThreadFrame>();
    frame->process = process;
    frame->run = tRun;
    frame->posixStart = start;
    frame->parameter = argument;
    frame->id = sim::win32::gNextThreadId.fetch_add(4);
    return sim::win32::StartThread(frame, thread, attributes);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
    sim::Process* process = sim::win32::CurrentCaller();
    if (!process) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    if (!lpStartAddress || (dwCreationFlags & ~static_cast<DWORD>(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto frame = std::make_shared<sim::win32::ProgramThreadFrame>();
    frame->process = process;
    frame->run = tRun;
    frame->start = lpStartAddress;
    frame->parameter = lpParameter;
    frame->suspended = (dwCreationFlags & CREATE_SUSPENDED) != 0;
    frame->id = sim::win32::gNextThreadId.fetch_add(4);
    NTSTATUS status = process->createEvent(&frame->handle, true, false);
    if (!NT_SUCCESS(status)) {
        SetLastError(sim::win32::DosErrorFromNtStatus(status));
        return nullptr;
    }
    {
        std::lock_guard lock(sim::win32::gThreadMutex);
        frame->handleOpen = true;
        sim::win32::gThreadHandles[{process, frame->handle}] = frame;
    }
    // Room for the kernel's calls below the program's own frames, as the first thread has.
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attributes, std::max<std::size_t>(dwStackSize, sim::win32::kStackSize));
    const int error = sim::win32::StartThread(frame, nullptr, &attributes);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        sim::win32::CloseThreadHandle(frame->handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId) *lpThreadId = frame->id;
    SetLastError(ERROR_SUCCESS);
    return frame->handle;
}

VOID ExitThread(DWORD dwExitCode) {
    if (sim::win32::ProgramThreadFrame* thread = tThread) {
        thread->exitCode = dwExitCode;
        siglongjmp(thread->exitJump, 1);
    }
    // The program's first thread: its process ends with it.
    ExitProcess(dwExitCode);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto frame = sim::win32::ThreadOfHandle(sim::win32::CurrentCaller(), hThread);
    if (!frame) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpExitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpExitCode = frame->exitCode;
    return TRUE;
}

DWORD ResumeThread(HANDLE hThread) {
    auto frame = sim::win32::ThreadOfHandle(sim::win32::CurrentCaller(), hThread);
    if (!frame) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard lock(frame->resumeMutex);
    const DWORD previous = frame->suspended ? 1 : 0;
    frame->suspended = false;
    frame->resumed.notify_all();
    return previous;
}

DWORD GetCurrentThreadId(VOID) {
    if (!sim::win32::tThreadId) sim::win32::tThreadId = sim::win32::gNextThreadId.fetch_add(4);
    return sim::win32::tThreadId;
}

HANDLE GetCurrentThread(VOID) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

}  // extern "C"
