/*
 * The installer's Windows headers as a C program sees them: every record and
 * constant the installer uses must match the 64-bit Windows SDK, in C as well
 * as in C++.
 */
#include <stddef.h>
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>
#include <shlwapi.h>
#include <winsvc.h>

_Static_assert(sizeof(SP_DEVINFO_DATA) == 32 && offsetof(SP_DEVINFO_DATA, DevInst) == 20, "SP_DEVINFO_DATA");
_Static_assert(sizeof(SP_REMOVEDEVICE_PARAMS) == 16 && offsetof(SP_REMOVEDEVICE_PARAMS, Scope) == 8,
               "SP_REMOVEDEVICE_PARAMS");
_Static_assert(sizeof(OSVERSIONINFOEXW) == 284 && offsetof(OSVERSIONINFOEXW, wProductType) == 282,
               "OSVERSIONINFOEXW");
_Static_assert(sizeof(WIN32_FIND_DATAA) == 320 && offsetof(WIN32_FIND_DATAA, cFileName) == 44, "WIN32_FIND_DATAA");
_Static_assert(sizeof(TOKEN_PRIVILEGES) == 16 && offsetof(TOKEN_PRIVILEGES, Privileges) == 4, "TOKEN_PRIVILEGES");
_Static_assert(sizeof(SERVICE_STATUS) == 28, "SERVICE_STATUS");
_Static_assert(ERROR_NO_DRIVER_SELECTED == 0xE0000203 && ERROR_NO_SUCH_DEVINST == 0xE000020B, "SetupAPI errors");
_Static_assert(DIF_REGISTERDEVICE == 0x19 && DIF_REMOVE == 5 && DIGCF_PROFILE == 8 && DIREG_DRV == 2,
               "SetupAPI constants");
_Static_assert(SPDRP_HARDWAREID == 1 && SPDRP_UPPERFILTERS == 0x11 && SUOI_FORCEDELETE == 1, "SetupAPI properties");
_Static_assert(INSTALLFLAG_FORCE == 1 && CM_LOCATE_DEVNODE_NORMAL == 0 && CR_NO_SUCH_DEVNODE == 0xD, "device calls");
_Static_assert(MB_TOPMOST == 0x40000 && MB_ICONERROR == 0x10 && MB_ICONINFORMATION == 0x40 && IDOK == 1, "MessageBox");
_Static_assert(SHUTDOWN_FORCE_OTHERS == 1 && SHUTDOWN_RESTART == 4 && SHTDN_REASON_MINOR_HARDWARE_DRIVER == 13,
               "shutdown");
_Static_assert(VER_PRODUCT_TYPE == 0x80 && VER_EQUAL == 1 && VER_NT_WORKSTATION == 1, "version checks");
_Static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
/* The installer's calls, named through the generic-text names a C program uses. */
void* CInstallerCalls[] = {
    (void*)SetupDiGetClassDevs, (void*)SetupDiEnumDeviceInfo, (void*)SetupDiOpenDevRegKey,
    (void*)SetupDiRemoveDevice, (void*)SetupUninstallOEMInf, (void*)SetupDiGetINFClass,
    (void*)SetupDiCreateDeviceInfoList, (void*)SetupDiCreateDeviceInfo, (void*)SetupDiSetDeviceRegistryProperty,
    (void*)SetupDiCallClassInstaller, (void*)SetupDiClassGuidsFromName, (void*)SetupDiDestroyDeviceInfoList,
    (void*)UpdateDriverForPlugAndPlayDevices, (void*)CM_Locate_DevNode, (void*)CM_Reenumerate_DevNode,
    (void*)CMP_WaitNoPendingInstallEvents, (void*)PathFileExists, (void*)MessageBox, (void*)ExitProcess,
    (void*)GetCurrentDirectory, (void*)GetSystemDirectory, (void*)DeleteFile, (void*)SetFileAttributes,
    (void*)CopyFile, (void*)OpenProcessToken, (void*)LookupPrivilegeValue, (void*)AdjustTokenPrivileges,
    (void*)InitiateShutdown, (void*)VerifyVersionInfoW, (void*)VerSetConditionMask, (void*)RegCreateKeyEx,
    (void*)RegSetValueEx, (void*)RegQueryValueEx, (void*)RegDeleteTree, (void*)RegOpenKeyEx,
    (void*)OpenSCManager, (void*)OpenService, (void*)ChangeServiceConfig, (void*)ControlService,
    (void*)CloseServiceHandle, (void*)ExitWindowsEx, (void*)FindFirstFile};
