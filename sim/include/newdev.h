/*
 * Device installation library (newdev.dll): installing a driver package for
 * every present device with a hardware ID.
 */
#pragma once

#include "vk/basetypes.h"
#include "winbase.h"

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

VK_BEGIN_C

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired);
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired);

VK_END_C

#ifdef UNICODE
#define UpdateDriverForPlugAndPlayDevices UpdateDriverForPlugAndPlayDevicesW
#else
#define UpdateDriverForPlugAndPlayDevices UpdateDriverForPlugAndPlayDevicesA
#endif
