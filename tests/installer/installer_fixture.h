// Runs the installer's exports like a front end does, on a freshly loaded library and a scripted
// machine (a Windows Server 2022 with the driver package in its current directory).
#pragma once

#include "Installer.h"
#include "fake_machine.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

extern "C" int DllMain(void *hInstance, unsigned dwReason, void *pReserved);

struct RunResult {
    int result = 0;
    std::optional<unsigned> exitCode; // set when the installer ended the process
    std::string out;
    std::string err;
};

template <typename Call>
RunResult RunExport(Call call)
{
    RunResult r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        r.result = call();
    } catch (const fakemachine::ProcessExit &e) {
        r.exitCode = e.code;
    }
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

inline RunResult Install(std::vector<std::string> args, bool exclusive = true)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return RunExport([&] { return InstallDrivers((int)args.size(), argv.data(), exclusive ? 1 : 0); });
}

inline RunResult Uninstall(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return RunExport([&] { return UninstallDrivers((int)args.size(), argv.data()); });
}

inline bool Contains(const std::string &haystack, const std::string &needle)
{
    return haystack.find(needle) != std::string::npos;
}

class InstallerTest : public testing::Test {
protected:
    void SetUp() override
    {
        // A fresh process: the library is loaded anew, so its log holds only this test's runs.
        DllMain(nullptr, 0, nullptr);
        DllMain(nullptr, 1, nullptr);
        fakemachine::Reset();
        fakemachine::MakeServer("2022");
        fakemachine::MakePackage(VORKA_INSTALLER_PACKAGE_SOURCE);
    }
    fakemachine::Machine &M() { return fakemachine::M(); }

    // An attached device that a driver can bind to.
    void AttachDevice(const char *setupClass, const std::string &hardwareId)
    {
        fakemachine::Device d;
        d.setupClass = setupClass;
        d.hardwareIds = {hardwareId};
        d.hasDriverKey = false; // no driver yet
        M().devices.push_back(d);
    }
    // A device installed by an earlier package (driver key values as Windows writes them).
    void InstalledDevice(const char *setupClass, const std::string &hardwareId, const char *provider,
                         const char *oemInf)
    {
        fakemachine::Device d;
        d.setupClass = setupClass;
        d.hardwareIds = {hardwareId};
        d.driverValues["MatchingDeviceId"] = fakemachine::Lower(hardwareId);
        d.driverValues["ProviderName"] = provider;
        d.driverValues["DriverDesc"] = "device " + hardwareId;
        d.driverValues["InfPath"] = oemInf;
        M().oemInfs.insert(oemInf);
        M().devices.push_back(d);
    }
    int LiveDevices(const std::string &hardwareId)
    {
        int n = 0;
        for (auto &d : M().devices)
            for (auto &h : d.hardwareIds)
                if (!d.removed && fakemachine::Lower(h) == fakemachine::Lower(hardwareId))
                    ++n;
        return n;
    }
    bool BoundTried(const std::string &hardwareId)
    {
        for (auto &c : M().updateDriverCalls)
            if (c == fakemachine::Lower(hardwareId))
                return true;
        return false;
    }
};

inline const char kVirtualTapeId[] = "SCSI\\SequentialVORKA___VIRTUAL_TAPE____";
inline const char kVirtualLibraryId[] = "SCSI\\ChangerVORKA___VIRTUAL_LIBRARY_";
