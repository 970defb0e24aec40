// Test side of vorkalisttest: boots a machine with the list test driver loaded and offers the
// driver's requests as plain calls.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "listtest_ioctl.h"
#include "sim/drivers.h"
#include "sim/machine.h"
#include "sim/pool.h"
#include "sim/process.h"
#include "sim/trace.h"
#include "vorka_test_support.h"

namespace vorka::test {

class ListDriver {
public:
    ListDriver(sim::Process& process, HANDLE handle) : process_(process), handle_(handle) {}

    LISTTEST_INSERT insert(const LISTTEST_VALUES& values, const LISTTEST_KEYS& keys, bool dupAllowed = false,
                           bool oneKeyForm = false) {
        LISTTEST_INSERT req{};
        req.values = values;
        req.keys = keys;
        req.dupAllowed = dupAllowed;
        req.oneKeyForm = oneKeyForm;
        call(LISTTEST_IOCTL_INSERT, req);
        return req;
    }
    LISTTEST_INSERT insertTail(const LISTTEST_VALUES& values) {
        LISTTEST_INSERT req{};
        req.values = values;
        req.tail = 1;
        call(LISTTEST_IOCTL_INSERT, req);
        return req;
    }
    LISTTEST_DELETE remove(const LISTTEST_VALUES& values, const LISTTEST_KEYS& keys, bool wholeList = false,
                           bool nullList = false) {
        LISTTEST_DELETE req{};
        req.values = values;
        req.keys = keys;
        req.wholeList = wholeList;
        req.nullList = nullList;
        call(LISTTEST_IOCTL_DELETE, req);
        return req;
    }
    LISTTEST_FIND find(const LISTTEST_VALUES& values, const LISTTEST_KEYS& keys) {
        LISTTEST_FIND req{};
        req.values = values;
        req.keys = keys;
        call(LISTTEST_IOCTL_FIND, req);
        return req;
    }
    std::vector<uint32_t> ids() {
        LISTTEST_DUMP req{};
        call(LISTTEST_IOCTL_DUMP, req);
        return std::vector<uint32_t>(req.ids, req.ids + std::min<uint32_t>(req.count, 64));
    }
    void clear() { remove(LISTTEST_VALUES{}, LISTTEST_KEYS{}, /*wholeList=*/true); }

private:
    template <typename T>
    void call(uint32_t code, T& req) {
        void* buffer = process_.alloc(sizeof(T));
        std::memcpy(buffer, &req, sizeof(T));
        NTSTATUS status = process_.deviceIoControl(handle_, code, buffer, sizeof(T), buffer, sizeof(T));
        ASSERT_EQ(status, STATUS_SUCCESS) << "list test driver request 0x" << std::hex << code;
        std::memcpy(&req, buffer, sizeof(T));
        process_.free(buffer);
    }

    sim::Process& process_;
    HANDLE handle_;
};

class ListDriverTest : public ::vorka_test::MachineTest {
protected:
    static constexpr ULONG kKeyArrayTag = 0x5674734C;   // the list's key arrays ("LstV")
    static constexpr ULONG kRecordTag = 0x7274734C;     // the test driver's records ("Lstr")

    void SetUp() override {
        MachineTest::SetUp();
        machine().drivers().installService(u"" LISTTEST_SERVICE_NAME);
        ASSERT_EQ(machine().drivers().load(u"" LISTTEST_SERVICE_NAME), STATUS_SUCCESS);
        process_ = &machine().processes().create("listtest");
        ASSERT_EQ(process_->createFile(&handle_, LISTTEST_DEVICE_NAME, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
        list_ = std::make_unique<ListDriver>(*process_, handle_);
    }
    void TearDown() override {
        if (process_ != nullptr && handle_ != nullptr) {
            list_->clear();
            process_->close(handle_);
        }
        MachineTest::TearDown();
    }

    ListDriver& list() { return *list_; }
    std::size_t keyArraysInPool() { return machine().pool().liveCountWithTag(kKeyArrayTag); }
    std::size_t recordsInPool() { return machine().pool().liveCountWithTag(kRecordTag); }
    void failKeyArrayAllocations() { machine().pool().failTag(kKeyArrayTag); }
    void restorePool() { machine().pool().clearFailures(); }
    bool traceContains(std::string_view text) { return machine().trace().contains(text); }
    std::size_t assertionsWithExpression(std::string_view expression) {
        std::size_t n = 0;
        for (const auto& a : machine().trace().assertions()) {
            n += a.expression == expression;
        }
        return n;
    }

private:
    sim::Process* process_ = nullptr;
    HANDLE handle_ = nullptr;
    std::unique_ptr<ListDriver> list_;
};

}  // namespace vorka::test
