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
#include <cstring>
#include <mutex>

#include "sim/machine.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "sim/win32_setup.h"
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
};

thread_local ProgramRun* tRun = nullptr;

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
                run.exitCode = static_cast<std::uint32_t>(entry(programMain, static_cast<int>(run.argv.size()),
                                                                argvCopy, in, out, err));
            }
        }
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

[[noreturn]] void VkProgramExit(int code) {
    if (!tRun) std::_Exit(code);
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
