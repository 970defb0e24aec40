/*
 * Device installation functions (setupapi.dll): device information sets,
 * device registry properties and keys, class installer requests, setup
 * classes and OEM INF files. x64 layouts: the SP_* records are naturally
 * aligned (8-byte packing), as in the 64-bit Windows SDK.
 */
#pragma once

#include "vk/basetypes.h"
#include "winbase.h"
#include "winerror.h"
#include "winreg.h"

typedef PVOID HDEVINFO;
typedef UINT DI_FUNCTION;
typedef GUID *LPGUID;

#define LINE_LEN 256
#define MAX_INF_STRING_LENGTH 4096
#define MAX_CLASS_NAME_LEN 32
#define MAX_DEVICE_ID_LEN 200

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

typedef struct _SP_REMOVEDEVICE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD Scope;
    DWORD HwProfile;
} SP_REMOVEDEVICE_PARAMS, *PSP_REMOVEDEVICE_PARAMS;

#define DI_REMOVEDEVICE_GLOBAL 0x00000001
#define DI_REMOVEDEVICE_CONFIGSPECIFIC 0x00000002

/* Class installer requests (DIF_*) */
#define DIF_SELECTDEVICE 0x00000001
#define DIF_INSTALLDEVICE 0x00000002
#define DIF_ASSIGNRESOURCES 0x00000003
#define DIF_PROPERTIES 0x00000004
#define DIF_REMOVE 0x00000005
#define DIF_FIRSTTIMESETUP 0x00000006
#define DIF_SELECTBESTCOMPATDRV 0x00000017
#define DIF_ALLOW_INSTALL 0x00000018
#define DIF_REGISTERDEVICE 0x00000019
#define DIF_INSTALLDEVICEFILES 0x00000015
#define DIF_REGISTER_COINSTALLERS 0x00000022

/* SetupDiGetClassDevs */
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

/* SetupDiCreateDeviceInfo */
#define DICD_GENERATE_ID 0x00000001
#define DICD_INHERIT_CLASSDRVS 0x00000002

/* SetupDiOpenDevRegKey scope and key type */
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DICS_FLAG_CONFIGGENERAL 0x00000004
#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002
#define DIREG_BOTH 0x00000004

/* Device registry properties (SPDRP_*) */
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_UNUSED0 0x00000003
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0000000E
#define SPDRP_UPPERFILTERS 0x00000011
#define SPDRP_LOWERFILTERS 0x00000012
#define SPDRP_ENUMERATOR_NAME 0x00000016
#define SPDRP_MAXIMUM_PROPERTY 0x00000025

/* SetupCopyOEMInf media types and copy styles */
#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2
#define SPOST_MAX 3
#define SP_COPY_DELETESOURCE 0x0000001
#define SP_COPY_REPLACEONLY 0x0000002
#define SP_COPY_NOOVERWRITE 0x0000008
#define SP_COPY_OEMINF_CATALOG_ONLY 0x0040000

/* SetupUninstallOEMInf */
#define SUOI_FORCEDELETE 0x00000001

/* SetupAPI errors: customer bit and error severity over the code */
#define APPLICATION_ERROR_MASK 0x20000000
#define ERROR_SEVERITY_ERROR 0xC0000000
#define ERROR_EXPECTED_SECTION_NAME (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0)
#define ERROR_BAD_SECTION_NAME_LINE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 1)
#define ERROR_SECTION_NAME_TOO_LONG (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 2)
#define ERROR_GENERAL_SYNTAX (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 3)
#define ERROR_WRONG_INF_STYLE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x100)
#define ERROR_SECTION_NOT_FOUND (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x101)
#define ERROR_LINE_NOT_FOUND (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x102)
#define ERROR_NO_ASSOCIATED_CLASS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x200)
#define ERROR_CLASS_MISMATCH (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x201)
#define ERROR_DUPLICATE_FOUND (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x202)
#define ERROR_NO_DRIVER_SELECTED (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x203)
#define ERROR_KEY_DOES_NOT_EXIST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x204)
#define ERROR_INVALID_DEVINST_NAME (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x205)
#define ERROR_INVALID_CLASS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x206)
#define ERROR_DEVINST_ALREADY_EXISTS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x207)
#define ERROR_DEVINFO_NOT_REGISTERED (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x208)
#define ERROR_INVALID_REG_PROPERTY (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x209)
#define ERROR_NO_INF (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20A)
#define ERROR_NO_SUCH_DEVINST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20B)
#define ERROR_CANT_LOAD_CLASS_ICON (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20C)
#define ERROR_INVALID_CLASS_INSTALLER (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20D)
#define ERROR_DI_DO_DEFAULT (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20E)
#define ERROR_DI_NOFILECOPY (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20F)
#define ERROR_INVALID_HWPROFILE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x210)
#define ERROR_NO_DEVICE_SELECTED (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x211)
#define ERROR_DEVINFO_DATA_LOCKED (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x213)
#define ERROR_DI_BAD_PATH (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x214)
#define ERROR_NO_CLASSINSTALL_PARAMS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x215)
#define ERROR_NO_ASSOCIATED_SERVICE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x219)
#define ERROR_NO_DEFAULT_DEVICE_INTERFACE (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x21A)
#define ERROR_INVALID_MACHINENAME (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x220)
#define ERROR_NO_COMPAT_DRIVERS (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x228)
#define ERROR_IN_WOW64 (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x235)
#define ERROR_INF_IN_USE_BY_DEVICES (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x23D)

VK_BEGIN_C

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent);
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName, const GUID *ClassGuid,
                                     PCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize);
BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE *PropertyBuffer, DWORD PropertyBufferSize);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize);
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                 DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams, DWORD ClassInstallParamsSize);
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize);
BOOL WINAPI SetupDiClassNameFromGuidA(const GUID *ClassGuid, PSTR ClassName, DWORD ClassNameSize,
                                      PDWORD RequiredSize);
BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName, DWORD ClassNameSize,
                                PDWORD RequiredSize);
BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                             DWORD CopyStyle, PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                             PDWORD RequiredSize, PSTR *DestinationInfFileNameComponent);
BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved);

VK_END_C

#ifndef UNICODE
#define SetupDiGetClassDevs SetupDiGetClassDevsA
#define SetupDiCreateDeviceInfo SetupDiCreateDeviceInfoA
#define SetupDiGetDeviceInstanceId SetupDiGetDeviceInstanceIdA
#define SetupDiSetDeviceRegistryProperty SetupDiSetDeviceRegistryPropertyA
#define SetupDiGetDeviceRegistryProperty SetupDiGetDeviceRegistryPropertyA
#define SetupDiSetClassInstallParams SetupDiSetClassInstallParamsA
#define SetupDiClassGuidsFromName SetupDiClassGuidsFromNameA
#define SetupDiClassNameFromGuid SetupDiClassNameFromGuidA
#define SetupDiGetINFClass SetupDiGetINFClassA
#define SetupCopyOEMInf SetupCopyOEMInfA
#define SetupUninstallOEMInf SetupUninstallOEMInfA
#endif

#if defined(__cplusplus)
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA is 32 bytes on x64");
static_assert(offsetof(SP_DEVINFO_DATA, ClassGuid) == 4 && offsetof(SP_DEVINFO_DATA, DevInst) == 20 &&
                  offsetof(SP_DEVINFO_DATA, Reserved) == 24,
              "SP_DEVINFO_DATA layout");
static_assert(sizeof(SP_CLASSINSTALL_HEADER) == 8, "SP_CLASSINSTALL_HEADER layout");
static_assert(sizeof(SP_REMOVEDEVICE_PARAMS) == 16, "SP_REMOVEDEVICE_PARAMS layout");
#else
_Static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA is 32 bytes on x64");
_Static_assert(sizeof(SP_REMOVEDEVICE_PARAMS) == 16, "SP_REMOVEDEVICE_PARAMS layout");
#endif
