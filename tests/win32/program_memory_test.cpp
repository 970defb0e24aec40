// Memory that a program owns without having allocated it through the process (its stack, its
// image, its heap) is user memory while it lives: a driver's buffered request reaches it, and a
// freed heap block, kernel pool or a 32-bit process's address above 4 GB fail with ERROR_NOACCESS.
#include <cstring>
#include <vector>

#include "machine_fixture.h"
#include "sim/drivers.h"
#include "sim/process.h"
#include "sim/win32.h"
#include "vk/ex.h"
#include "windows.h"

namespace {

#define IOCTL_VKTEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)

constexpr ULONG kTag = 0x74736554;  // "Test"

class ProgramMemory : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"vktestdrv");
        ASSERT_EQ(machine().drivers().load(u"vktestdrv"), STATUS_SUCCESS);
    }
    // Echoes `length` bytes from `in` to `out` through the test driver; the Win32 error or 0.
    DWORD Echo(sim::Process& process, void* in, void* out, DWORD length) {
        sim::win32::CallerScope scope(process);
        HANDLE h = CreateFileA("\\\\.\\VkTestDev", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD bytes = 0;
        DWORD error = DeviceIoControl(h, IOCTL_VKTEST_ECHO, in, length, out, length, &bytes, nullptr) ? 0 : GetLastError();
        CloseHandle(h);
        return error;
    }
};

TEST_F(ProgramMemory, AHeapBlockIsUserMemoryUntilItIsFreed) {
    auto& process = machine().processes().create("heap.exe");
    auto* in = static_cast<char*>(process.heapAlloc(16));
    auto* out = static_cast<char*>(process.heapAlloc(16));
    std::memcpy(in, "from the heap", 14);
    EXPECT_EQ(Echo(process, in, out, 14), 0u);
    EXPECT_STREQ(out, "from the heap");
    EXPECT_EQ(process.heapBlockSize(in), 16u);
    EXPECT_TRUE(process.heapFree(in));
    EXPECT_FALSE(process.heapFree(in)) << "a block is freed once";
    EXPECT_EQ(Echo(process, in, out, 14), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(Echo(process, out, out + 8, 9), static_cast<DWORD>(ERROR_NOACCESS)) << "the range runs past the block";
    machine().processes().exit(process);  // takes the block still allocated with it
}

TEST_F(ProgramMemory, AnAddedRegionIsUserMemoryUntilItIsRemovedAndPoolNeverIs) {
    auto& process = machine().processes().create("stack.exe");
    std::vector<char> stack(256);  // stands for a program's stack
    process.addRegion(stack.data(), stack.size());
    std::memcpy(stack.data(), "on the stack", 13);
    EXPECT_EQ(Echo(process, stack.data(), stack.data() + 128, 13), 0u);
    EXPECT_STREQ(stack.data() + 128, "on the stack");
    process.removeRegion(stack.data());
    EXPECT_EQ(Echo(process, stack.data(), stack.data() + 128, 13), static_cast<DWORD>(ERROR_NOACCESS));

    void* pool = ExAllocatePoolWithTag(NonPagedPool, 64, kTag);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(Echo(process, pool, pool, 16), static_cast<DWORD>(ERROR_NOACCESS));
    ExFreePoolWithTag(pool, kTag);
    EXPECT_EQ(Echo(process, nullptr, nullptr, 16), static_cast<DWORD>(ERROR_NOACCESS));
    machine().processes().exit(process);
}

TEST_F(ProgramMemory, A32BitProcessHasNothingAbove4GbEvenWhenItIsAdded) {
    auto& process = machine().processes().create("old.exe", true);
    auto* block = static_cast<char*>(process.heapAlloc(32));
    ASSERT_NE(block, nullptr);
    EXPECT_LT(reinterpret_cast<std::uintptr_t>(block) + 32, std::uintptr_t{1} << 32);
    std::memcpy(block, "low", 4);
    EXPECT_EQ(Echo(process, block, block + 16, 4), 0u);
    EXPECT_STREQ(block + 16, "low");

    std::vector<char> high(64);
    ASSERT_GT(reinterpret_cast<std::uintptr_t>(high.data()), std::uintptr_t{0xFFFFFFFF});
    process.addRegion(high.data(), high.size());
    EXPECT_EQ(Echo(process, high.data(), high.data() + 32, 8), static_cast<DWORD>(ERROR_NOACCESS));
    process.removeRegion(high.data());
    EXPECT_TRUE(process.heapFree(block));
    machine().processes().exit(process);
}

}  // namespace
