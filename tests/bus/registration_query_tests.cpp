// IOC_QUERY_DEVICES (whole descriptors only, the required size always in front, the same answer on
// every device of the bus), registrations, notifications, queries and removals from many threads
// at once, and how long registering and querying a large configuration takes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "registration_harness.h"

namespace vorka::test {
namespace {

constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

PathSpec Spec(const std::string& serial, uint8_t port, uint8_t target) {
    PathSpec spec;
    spec.serial = serial;
    spec.port = port;
    spec.target = target;
    return spec;
}

std::string Serial(int drive) {
    char text[33];
    std::snprintf(text, sizeof(text), "QRY%05d", drive);
    return text;
}

using QueryDevices = TapeBusTest;

TEST_F(QueryDevices, ASmallBufferGetsWholeDescriptorsAndTheFullSizeInFront) {
    createPaths(0, 3);
    registerPath(0, Spec("Q0000001", 1, 1));
    registerPath(1, Spec("Q0000001", 2, 1));
    registerPath(2, Spec("Q0000002", 1, 2));

    QueryAnswer full = query(4096);
    ASSERT_EQ(full.status, kStatusSuccess);
    EXPECT_EQ(full.requiredSize, 436u);
    EXPECT_EQ(full.information, 436u);
    ASSERT_EQ(full.descriptors.size(), 3u);

    QueryAnswer partial = query(300);
    ASSERT_EQ(partial.status, kStatusSuccess) << "a partial answer is a success";
    EXPECT_EQ(partial.information, 292u) << "two whole descriptors";
    EXPECT_EQ(partial.requiredSize, 436u) << "the size of the whole answer";
    ASSERT_EQ(partial.descriptors.size(), 2u);
    EXPECT_EQ(partial.descriptors[0].serial, full.descriptors[0].serial);
    EXPECT_EQ(partial.descriptors[1].port, full.descriptors[1].port);

    QueryAnswer one = query(148);
    EXPECT_EQ(one.status, kStatusSuccess);
    EXPECT_EQ(one.information, 148u);
    EXPECT_EQ(one.requiredSize, 436u);
    EXPECT_EQ(query(147).status, kInfoLengthMismatch);

    // Each drive's paths stay together, in their registration order.
    std::map<std::string, std::vector<int>> ports;
    for (const auto& d : full.descriptors) ports[d.name].push_back(d.port);
    EXPECT_EQ(ports["Tape0"], (std::vector<int>{1, 2}));
    EXPECT_EQ(ports["Tape1"], (std::vector<int>{1}));
}

TEST_F(QueryDevices, EveryVirtualDeviceAnswersForTheWholeBus) {
    createPaths(0, 3);
    registerPath(0, Spec("Q0000011", 1, 1));
    registerPath(1, Spec("Q0000012", 1, 2));
    registerPath(2, Spec("Q0000012", 2, 2));
    QueryAnswer control = query(4096);
    QueryAnswer tape1 = query(4096, u"\\\\.\\Tape1");
    ASSERT_EQ(tape1.status, kStatusSuccess);
    EXPECT_EQ(tape1.requiredSize, control.requiredSize);
    ASSERT_EQ(tape1.descriptors.size(), control.descriptors.size());
    for (std::size_t i = 0; i < control.descriptors.size(); i++) {
        EXPECT_EQ(tape1.descriptors[i].name, control.descriptors[i].name);
        EXPECT_EQ(tape1.descriptors[i].port, control.descriptors[i].port);
        EXPECT_EQ(tape1.descriptors[i].primary, control.descriptors[i].primary);
    }
}

TEST_F(QueryDevices, ABusWithoutDrivesHasNothingToReport) {
    EXPECT_EQ(query(4096).status, kInvalidParameter);
}

using RegistrationConcurrency = TapeBusTest;

// Eight filters start at once, each with paths of the same sixteen drives, while an application
// queries and paths stop, start and go away: afterwards every drive has one device with exactly the
// paths that are left.
TEST_F(RegistrationConcurrency, ManyFiltersAtOnceLeaveOneDevicePerDrive) {
    constexpr int kThreads = 8;
    constexpr int kDrives = 16;
    constexpr int kPathsPerThread = kDrives;   // thread t owns paths t*kDrives .. +kDrives-1
    createPaths(0, kThreads * kPathsPerThread);

    std::atomic<bool> stop{false};
    std::atomic<int> badAnswers{0};
    std::thread querier([&] {
        while (!stop.load()) {
            QueryAnswer a = query(8 * 1024);
            if (a.status == kStatusSuccess) {
                std::size_t expected = std::min<std::size_t>(a.requiredSize, 4 + ((8 * 1024 - 4) / 144) * 144);
                if (a.information != expected || (a.information - 4) % 144 != 0) badAnswers++;
            }
        }
    });

    std::vector<std::thread> filters;
    for (int t = 0; t < kThreads; t++) {
        filters.emplace_back([&, t] {
            for (int d = 0; d < kDrives; d++) {
                uint32_t path = static_cast<uint32_t>(t * kPathsPerThread + d);
                PathSpec spec = Spec(Serial(d), static_cast<uint8_t>(t), static_cast<uint8_t>(d));
                EXPECT_EQ(registerPath(path, spec).status, kStatusSuccess);
                notifyPnp(path, kPnpStopped);
                EXPECT_EQ(registerPath(path, spec).status, kStatusSuccess);   // restarted
                notifyIo(path, kIoOpen);
                notifyIo(path, kIoClose);
                if (t % 2 == 1) {
                    removePath(path);   // odd threads' paths go away again
                }
            }
        });
    }
    for (auto& f : filters) f.join();
    stop = true;
    querier.join();
    EXPECT_EQ(badAnswers.load(), 0);

    QueryAnswer answer = query(64 * 1024);
    ASSERT_EQ(answer.status, kStatusSuccess);
    std::map<std::string, std::vector<Descriptor>> drives;
    for (const auto& d : answer.descriptors) drives[d.serial].push_back(d);
    ASSERT_EQ(drives.size(), static_cast<std::size_t>(kDrives));
    std::map<std::string, std::string> nameOf;
    for (const auto& [serial, paths] : drives) {
        EXPECT_EQ(paths.size(), static_cast<std::size_t>(kThreads / 2)) << serial << ": the even threads' paths";
        int primaries = 0;
        for (const auto& p : paths) {
            EXPECT_EQ(p.name, paths[0].name) << serial << " has one device";
            EXPECT_EQ(p.port % 2, 0) << "only paths that were not removed";
            primaries += p.primary;
        }
        EXPECT_EQ(primaries, 1) << serial;
        nameOf[paths[0].name] = serial;
    }
    EXPECT_EQ(nameOf.size(), static_cast<std::size_t>(kDrives)) << "no two drives share a device";
}

// A query that overlaps registrations never reports more than it sized its answer for.
TEST_F(RegistrationConcurrency, AQueryRacingRegistrationsStaysInsideItsAnswer) {
    constexpr uint32_t kPaths = 200;
    createPaths(0, kPaths);
    registerPath(0, Spec("RACE0000", 1, 0));
    std::atomic<bool> done{false};
    std::thread registrar([&] {
        for (uint32_t p = 1; p < kPaths; p++) {
            registerPath(p, Spec("RACE" + std::to_string(p % 7), static_cast<uint8_t>(p % 4), static_cast<uint8_t>(p)));
        }
        done = true;
    });
    int answers = 0;
    while (!done.load() || answers < 10) {
        QueryAnswer a = query(64 * 1024);
        ASSERT_EQ(a.status, kStatusSuccess);
        EXPECT_EQ(a.information, a.requiredSize);
        EXPECT_EQ(a.descriptors.size(), (a.requiredSize - 4) / 144);
        for (const auto& d : a.descriptors) {
            EXPECT_FALSE(d.name.empty()) << "every reported descriptor was filled in";
        }
        answers++;
    }
    registrar.join();
    EXPECT_EQ(query(64 * 1024).descriptors.size(), kPaths);
}

using RegistrationScale = TapeBusTest;

// 256 drives with four paths each, registered one after the other, then queried.
TEST_F(RegistrationScale, RegisterTenTwentyFourPathsAndQueryThem) {
    constexpr int kDrives = 256;
    constexpr int kPathsPerDrive = 4;
    createPaths(0, kDrives * kPathsPerDrive);
    for (int d = 0; d < kDrives; d++) {
        for (int p = 0; p < kPathsPerDrive; p++) {
            // Create the device map entries up front so that only the registration is timed.
            PathSpec spec = Spec(Serial(d), static_cast<uint8_t>(p), static_cast<uint8_t>(d));
            machine().registry().createKeyPath(deviceMapKey(spec), true);
        }
    }
    auto start = std::chrono::steady_clock::now();
    for (int d = 0; d < kDrives; d++) {
        for (int p = 0; p < kPathsPerDrive; p++) {
            PathSpec spec = Spec(Serial(d), static_cast<uint8_t>(p), static_cast<uint8_t>(d));
            ASSERT_EQ(registerPath(static_cast<uint32_t>(d * kPathsPerDrive + p), spec).status, kStatusSuccess);
        }
    }
    auto registered = std::chrono::steady_clock::now();
    constexpr int kQueries = 20;
    QueryAnswer answer;
    for (int i = 0; i < kQueries; i++) {
        answer = query(4 + 144 * kDrives * kPathsPerDrive);
    }
    auto queried = std::chrono::steady_clock::now();

    ASSERT_EQ(answer.status, kStatusSuccess);
    EXPECT_EQ(answer.descriptors.size(), static_cast<std::size_t>(kDrives * kPathsPerDrive));
    EXPECT_TRUE(deviceExists(tapeName(kDrives - 1)));
    EXPECT_FALSE(deviceExists(tapeName(kDrives)));

    using ms = std::chrono::duration<double, std::milli>;
    double registerMs = ms(registered - start).count();
    double queryMs = ms(queried - registered).count() / kQueries;
    std::printf("[ measure  ] registering %d paths (%d drives x %d): %.1f ms (%.1f us per path); "
                "IOC_QUERY_DEVICES for them (%zu bytes): %.2f ms\n",
                kDrives * kPathsPerDrive, kDrives, kPathsPerDrive, registerMs,
                1000.0 * registerMs / (kDrives * kPathsPerDrive), answer.information, queryMs);
    RecordProperty("register_1024_paths_ms", std::to_string(registerMs));
    RecordProperty("query_1024_paths_ms", std::to_string(queryMs));
}

}  // namespace
}  // namespace vorka::test
