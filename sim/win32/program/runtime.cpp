// The start-up code linked into every Windows program module (scripts/build-windows-program.sh).
//
// A Windows program expects its own process: its heap, its exit(), its standard streams. In the
// module these names are defined here with hidden visibility, so the program's calls (and those
// of the C++ library linked statically into the module) bind to them rather than to the host's:
//   - malloc, free and operator new/delete take blocks from the simulated process's heap, so
//     that a buffer passes the kernel's probes while it lives and fails them once freed;
//   - exit(), _exit(), abort() end the program with its exit code, not the simulator;
//   - stdin, stdout and stderr (and printf, puts, putchar, perror, which use the C library's own
//     stdout otherwise) are the streams the simulator captures.
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <pthread.h>

extern "C" {

// Provided by the simulator's Win32 layer (libvwin32).
void* VkProgramMalloc(std::size_t size);
void* VkProgramCalloc(std::size_t count, std::size_t size);
void* VkProgramRealloc(void* block, std::size_t size);
void VkProgramFree(void* block);
[[noreturn]] void VkProgramExit(int code);
void* VkProgramAlignedAlloc(std::size_t alignment, std::size_t size);
int VkProgramCreatePThread(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument);

// std::thread and C11 threads start here: a thread of the program's process, whose calls act
// for the process.
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    return VkProgramCreatePThread(thread, attributes, start, argument);
}

FILE* stdin;
FILE* stdout;
FILE* stderr;

void* malloc(std::size_t size) { return VkProgramMalloc(size); }
void* calloc(std::size_t count, std::size_t size) { return VkProgramCalloc(count, size); }
void* realloc(void* block, std::size_t size) { return VkProgramRealloc(block, size); }
void free(void* block) { VkProgramFree(block); }

void exit(int code) { VkProgramExit(code); }
void _exit(int code) { VkProgramExit(code); }
void _Exit(int code) { VkProgramExit(code); }
// The exit code of a program that aborts on Windows.
void abort() { VkProgramExit(3); }

int vprintf(const char* format, va_list args) { return std::vfprintf(stdout, format, args); }
int printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(stdout, format, args);
    va_end(args);
    return written;
}
int puts(const char* text) {
    if (std::fputs(text, stdout) == EOF) return EOF;
    return std::fputc('\n', stdout) == EOF ? EOF : 1;
}
int putchar(int c) { return std::fputc(c, stdout); }
int getchar() { return std::fgetc(stdin); }
void perror(const char* text) {
    const char* reason = std::strerror(errno);
    if (text && *text) std::fprintf(stderr, "%s: %s\n", text, reason);
    else std::fprintf(stderr, "%s\n", reason);
}

// The module's entry from the simulator: the streams, then the program's main.
__attribute__((visibility("default"))) int VkProgramEntry(int (*programMain)(int, char**, char**), int argc,
                                                          char** argv, FILE* in, FILE* out, FILE* err) {
    stdin = in;
    stdout = out;
    stderr = err;
    static char* environment[] = {nullptr};
    return programMain(argc, argv, environment);
}

}  // extern "C"

void* operator new(std::size_t size) {
    void* block = VkProgramMalloc(size);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return VkProgramMalloc(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return VkProgramMalloc(size); }
// Over-aligned objects (alignas, aligned I/O buffers of C++ programs) come from the heap too.
void* operator new(std::size_t size, std::align_val_t alignment) {
    void* block = VkProgramAlignedAlloc(static_cast<std::size_t>(alignment), size);
    if (!block) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size, std::align_val_t alignment) { return operator new(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return VkProgramAlignedAlloc(static_cast<std::size_t>(alignment), size);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return VkProgramAlignedAlloc(static_cast<std::size_t>(alignment), size);
}
void operator delete(void* block, std::align_val_t) noexcept { VkProgramFree(block); }
void operator delete[](void* block, std::align_val_t) noexcept { VkProgramFree(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { VkProgramFree(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { VkProgramFree(block); }
void operator delete(void* block) noexcept { VkProgramFree(block); }
void operator delete[](void* block) noexcept { VkProgramFree(block); }
void operator delete(void* block, std::size_t) noexcept { VkProgramFree(block); }
void operator delete[](void* block, std::size_t) noexcept { VkProgramFree(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { VkProgramFree(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { VkProgramFree(block); }
