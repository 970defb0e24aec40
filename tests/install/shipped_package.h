// The package as it ships, staged on the simulated machine for the installer's own runs: the INF
// files of InstallerLib/package and a placeholder image of every driver in C:\Vorka\drivers, on a
// Windows Server of the given product name, with C:\Vorka as the current directory.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim/machine.h"
#include "sim/registry.h"
#include "sim/win32_setup.h"
#include "windows.h"

namespace installtest {

inline constexpr const char* kPackageServices[] = {"vorkachgr", "vorkatape", "vorkacbus",
                                                   "vorkatbus", "vorkacflt", "vorkatflt"};

inline void StageShippedPackage(sim::Machine& machine, const char16_t* productName) {
    auto& registry = machine.registry();
    const std::u16string version = u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    registry.createKeyPath(version);
    registry.setString(version, u"ProductName", productName);
    registry.setString(version, u"CurrentVersion", u"6.3");
    auto& disk = sim::win32::Disk::Get();
    for (const char* inf : {"armbasef", "reelbasf", "vorkacbus", "vorkatbus"}) {
        std::FILE* file = std::fopen((std::string(VORKA_INSTALLER_PACKAGE_SOURCE) + "/" + inf + ".inf").c_str(), "rb");
        ASSERT_NE(file, nullptr) << inf;
        std::string text;
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
        std::fclose(file);
        disk.writeFile(std::string("C:\\Vorka\\drivers\\") + inf + ".inf", text);
    }
    for (const char* image : kPackageServices)
        disk.writeFile(std::string("C:\\Vorka\\drivers\\") + image + ".sys", std::string("image of ") + image);
    ASSERT_TRUE(SetCurrentDirectoryA("C:\\Vorka"));
}

}  // namespace installtest
