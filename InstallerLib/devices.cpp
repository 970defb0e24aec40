/*
 * Device work of installation and removal: removing the devices of earlier installations, creating
 * the two root-enumerated bus devices, making Plug and Play enumerate again, and binding the base
 * drivers (with their path filters) to the attached changers and tape drives.
 */
#include "instlib.h"

#include <cfgmgr32.h>
#include <newdev.h>

#include <ctype.h>
#include <stdio.h>
#include <string.h>

static bool EqualNoCase(const char *psz1, const char *psz2)
{
    for (;; ++psz1, ++psz2) {
        if (tolower((unsigned char)*psz1) != tolower((unsigned char)*psz2))
            return false;
        if (!*psz1)
            return true;
    }
}

static bool StartsWithNoCase(const char *psz, const char *pszPrefix)
{
    for (; *pszPrefix; ++psz, ++pszPrefix)
        if (tolower((unsigned char)*psz) != tolower((unsigned char)*pszPrefix))
            return false;
    return true;
}

static bool ContainsNoCase(const char *pszHaystack, const char *pszNeedle)
{
    size_t cch = strlen(pszNeedle);
    for (const char *p = pszHaystack; *p; ++p) {
        size_t i = 0;
        while (i < cch && p[i] && tolower((unsigned char)p[i]) == tolower((unsigned char)pszNeedle[i]))
            ++i;
        if (i == cch)
            return true;
    }
    return cch == 0;
}

static void DebugDevInfo(const DEV_INFO *pContext)
{
    LOGF(0, LOG_DBG,
         "DEV_INFO: win_ver %i, last_error %u, Uninstaller %i, guid {%08X-%04X-%04X-...}, device index %u",
         pContext->win_ver, (unsigned)pContext->last_error, pContext->Uninstaller,
         (unsigned)pContext->guid.Data1, pContext->guid.Data2, pContext->guid.Data3,
         (unsigned)pContext->DevInfoData.DevInst);
}

/* Vorka devices are those whose driver came from Vorka's INF files. */
static int DeviceSupported(HKEY hDriverKey, DEV_INFO *pContext)
{
    LOG_ENTER();
    if (!QueryRegKey(hDriverKey, NULL, "ProviderName", pContext->key_value, sizeof pContext->key_value))
        return LOG_RETURN(0);
    return LOG_RETURN(ContainsNoCase(pContext->key_value, "Vorka Corporation") ? 1 : 0);
}

static bool RowExcludes(const HWID_ENTRY *pTable, const char *pszId)
{
    for (const HWID_ENTRY *pRow = pTable; pRow->szHardwareId[0]; ++pRow)
        if (pRow->ulInclude == 0 && EqualNoCase(pRow->szHardwareId, pszId))
            return true;
    return false;
}

/* Windows keeps "MatchingDeviceId" in lower case, so the tables' IDs match without regard to case. */
static int ExcludeDevice(DEV_INFO *pContext)
{
    LOG_ENTER();
    int fExcluded = RowExcludes(g_ChangerIds, pContext->matching_id) || RowExcludes(g_TapeIds, pContext->matching_id);
    if (fExcluded)
        LOGF(0, LOG_NFO, "Device in exclude list, leaving it installed: %s", pContext->matching_id);
    return LOG_RETURN(fExcluded);
}

/* Changer-side devices: medium changers and the changer bus; tape side: tape drives and the tape
   bus. A partial installation (-c or -t) removes only its own side, as only that side comes back. */
static int DeviceKinds(const char *pszMatchingId)
{
    if (StartsWithNoCase(pszMatchingId, "scsi\\changer") || EqualNoCase(pszMatchingId, "root\\vorkacbus"))
        return REMOVE_CHANGERS;
    if (StartsWithNoCase(pszMatchingId, "scsi\\sequential") || StartsWithNoCase(pszMatchingId, "usbstor\\sequential") ||
        EqualNoCase(pszMatchingId, "root\\vorkatbus"))
        return REMOVE_TAPES;
    return REMOVE_ALL;
}

static int UninstallDevice(HKEY hDriverKey, DEV_INFO *pContext)
{
    LOG_ENTER();
    char szDesc[KEY_VALUE_CHARS];
    if (!QueryRegKey(hDriverKey, NULL, "DriverDesc", szDesc, sizeof szDesc))
        snprintf(szDesc, sizeof szDesc, "%s", pContext->matching_id);
    LOGP(LOG_NFO, "Uninstalling: %s...", szDesc);
    if (!SetupDiRemoveDevice(pContext->hDevInfo, &pContext->DevInfoData)) {
        pContext->last_error = GetLastError();
        LOG_SYSERR(pContext->last_error);
        return LOG_RETURN(0);
    }
    LOGP(LOG_SUC, "Successfully uninstalled: %s", szDesc);
    return LOG_RETURN(1);
}

static int UninstallDevAndOEMFile(HKEY hDriverKey, DEV_INFO *pContext)
{
    LOG_ENTER();
    if (!UninstallDevice(hDriverKey, pContext))
        return LOG_RETURN(0);
    /* The driver store copy (oemNN.inf) of the package's INF. */
    if (!SetupUninstallOEMInfA(pContext->oemfiles, SUOI_FORCEDELETE, NULL)) {
        pContext->last_error = GetLastError();
        if (pContext->last_error == ERROR_FILE_NOT_FOUND) {
            LOGF(0, LOG_NFO, "Could not find: %s", pContext->oemfiles);
            return LOG_RETURN(1);
        }
        LOG_SYSERR(pContext->last_error);
        return LOG_RETURN(0);
    }
    LOGF(0, LOG_SUC, "Successfully removed: %s", pContext->oemfiles);
    return LOG_RETURN(1);
}

static int QueryAndUninstallDevice(HKEY hDriverKey, DEV_INFO *pContext)
{
    LOG_ENTER();
    if (!QueryRegKey(hDriverKey, NULL, "InfPath", pContext->oemfiles, sizeof pContext->oemfiles)) {
        LOGF(0, LOG_ERR, "Failed to query registry key: %s\\InfPath. Could not determine path to oem file",
             pContext->matching_id);
        return LOG_RETURN(0);
    }
    if (!UninstallDevAndOEMFile(hDriverKey, pContext))
        LOGF(0, LOG_ERR, "Failed to uninstall device: %s. A reboot might be pending to finish a previous uninstallation",
             pContext->matching_id);
    return LOG_RETURN(1);
}

static int EnumAndUninstallVorkaDevs(DEV_INFO *pContext)
{
    LOG_ENTER();
    bool fMatchingIdFailed = false;
    DWORD dwIndex = 0;
    for (;; ++dwIndex) {
        memset(&pContext->DevInfoData, 0, sizeof pContext->DevInfoData);
        pContext->DevInfoData.cbSize = sizeof pContext->DevInfoData;
        if (!SetupDiEnumDeviceInfo(pContext->hDevInfo, dwIndex, &pContext->DevInfoData)) {
            pContext->last_error = GetLastError();
            break;
        }
        HKEY hKey = SetupDiOpenDevRegKey(pContext->hDevInfo, &pContext->DevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                         KEY_ALL_ACCESS);
        DebugDevInfo(pContext);
        if (hKey == (HKEY)INVALID_HANDLE_VALUE || hKey == NULL) {
            pContext->last_error = GetLastError();
            LOGF(0, LOG_DBG, "No driver key for device %u (error %u)", (unsigned)dwIndex,
                 (unsigned)pContext->last_error);
            continue;
        }
        pContext->matching_id[0] = '\0';
        if (!QueryRegKey(hKey, NULL, "MatchingDeviceId", pContext->matching_id, sizeof pContext->matching_id)) {
            LOGF(0, LOG_ERR, "Failed to query registry key: MatchingDeviceId. Could not determine matching device ID, "
                             "a reboot might be pending.");
            fMatchingIdFailed = true;
            RegCloseKey(hKey);
            continue;
        }
        if (DeviceSupported(hKey, pContext) && !ExcludeDevice(pContext) &&
            (DeviceKinds(pContext->matching_id) & ~pContext->removeKinds) == 0) {
            if (pContext->Uninstaller)
                QueryAndUninstallDevice(hKey, pContext);
            else
                UninstallDevice(hKey, pContext);
        }
        RegCloseKey(hKey);
    }
    int ok = pContext->last_error == ERROR_NO_MORE_ITEMS && !fMatchingIdFailed;
    return LOG_RETURN(ok);
}

int UninstallDevices(DEV_INFO *pContext)
{
    LOG_ENTER();
    /* The drives' and changers' path devices go before the buses: a path filter asks its bus
       whether its path may be removed, and with the bus already gone it refuses, so the path
       stacks (and the filter with its hold on the old bus) would stay until a restart. */
    static const char *const s_Classes[] = {"TapeDrive", "MediumChanger", "System"};
    int ok = 1;
    for (const char *pszClass : s_Classes) {
        DWORD dwRequired = 0;
        if (!SetupDiClassGuidsFromNameA(pszClass, &pContext->guid, 1, &dwRequired) || dwRequired == 0) {
            pContext->last_error = GetLastError();
            LOG_SYSERR(pContext->last_error);
            ok = 0;
            continue;
        }
        pContext->hDevInfo = SetupDiGetClassDevsA(&pContext->guid, NULL, NULL, DIGCF_PROFILE);
        if (pContext->hDevInfo == INVALID_HANDLE_VALUE) {
            pContext->last_error = GetLastError();
            LOG_SYSERR(pContext->last_error);
            ok = 0;
            continue;
        }
        int enumOk = EnumAndUninstallVorkaDevs(pContext);
        SetupDiDestroyDeviceInfoList(pContext->hDevInfo);
        pContext->hDevInfo = INVALID_HANDLE_VALUE;
        if (!enumOk) {
            LOGF(0, LOG_ERR, "Reboot pending from uninstall");
            ok = 0;
            break;
        }
    }
    return LOG_RETURN(ok);
}

/* True when a device of the class carries the hardware ID already (an earlier run's bus device). */
static bool RootDeviceExists(const GUID *pGuid, const char *pszHardwareId)
{
    HDEVINFO hSet = SetupDiGetClassDevsA(pGuid, NULL, NULL, DIGCF_PROFILE);
    if (hSet == INVALID_HANDLE_VALUE)
        return false;
    bool fFound = false;
    SP_DEVINFO_DATA data;
    for (DWORD i = 0; !fFound; ++i) {
        memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInfo(hSet, i, &data))
            break;
        char achIds[512];
        memset(achIds, 0, sizeof achIds);
        DWORD dwType = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(hSet, &data, SPDRP_HARDWAREID, &dwType, (PBYTE)achIds,
                                               sizeof achIds - 2, NULL))
            continue;
        for (const char *p = achIds; *p && !fFound; p += strlen(p) + 1)
            fFound = EqualNoCase(p, pszHardwareId);
    }
    SetupDiDestroyDeviceInfoList(hSet);
    return fFound;
}

int InstallVirtualBus(int iBus, INSTALLER_OPTIONS *pOptions)
{
    LOG_ENTER();
    const bool fChanger = iBus == BUS_CHANGER;
    const char *pszHardwareId = fChanger ? "root\\vorkacbus" : "root\\vorkatbus";
    const char *pszInf = fChanger ? "vorkacbus" : "vorkatbus";
    const char *pszWhat = fChanger ? "Changer Bus Enumerator" : "Tape Bus Enumerator";
    LOGP(LOG_NFO, "Installing %s...", pszWhat);

    char szInfPath[MAX_PATH];
    BuildInfPath(pOptions, pszInf, szInfPath, sizeof szInfPath);

    GUID guid;
    char szClassName[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassA(szInfPath, &guid, szClassName, MAX_CLASS_NAME_LEN, NULL)) {
        LOG_SYSERR(GetLastError());
        return LOG_RETURN(0);
    }

    HDEVINFO hSet = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data;
    memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    bool fCreated = false;
    if (RootDeviceExists(&guid, pszHardwareId)) {
        /* A second device would collide with the first one's control device name. */
        LOGF(0, LOG_NFO, "Device %s already exists, updating its driver", pszHardwareId);
    } else {
        hSet = SetupDiCreateDeviceInfoList(&guid, NULL);
        if (hSet == INVALID_HANDLE_VALUE) {
            LOG_SYSERR(GetLastError());
            return LOG_RETURN(0);
        }
        if (!SetupDiCreateDeviceInfoA(hSet, szClassName, &guid, NULL, NULL, DICD_GENERATE_ID, &data)) {
            LOG_SYSERR(GetLastError());
            SetupDiDestroyDeviceInfoList(hSet);
            return LOG_RETURN(0);
        }
        BYTE abHardwareId[200];
        memset(abHardwareId, 0, sizeof abHardwareId);
        memcpy(abHardwareId, pszHardwareId, strlen(pszHardwareId));
        if (!SetupDiSetDeviceRegistryPropertyA(hSet, &data, SPDRP_HARDWAREID, abHardwareId, sizeof abHardwareId)) {
            LOG_SYSERR(GetLastError());
            SetupDiDestroyDeviceInfoList(hSet);
            return LOG_RETURN(0);
        }
        if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, hSet, &data)) {
            LOG_SYSERR(GetLastError());
            SetupDiDestroyDeviceInfoList(hSet);
            return LOG_RETURN(0);
        }
        fCreated = true;
    }

    BOOL fReboot = FALSE;
    if (UpdateDriverForPlugAndPlayDevicesA(NULL, pszHardwareId, szInfPath, INSTALLFLAG_FORCE, &fReboot)) {
        LOGP(LOG_SUC, "Successfully installed %s", pszWhat);
        if (hSet != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(hSet);
        return LOG_RETURN(1);
    }
    DWORD dwError = GetLastError();
    LOGF(0, LOG_ERR, "lasterr: %i", (int)dwError);
    LOG_SYSERR(dwError);
    if (fCreated) {
        /* A device without its driver would stay behind as an unknown device. */
        if (SetupDiRemoveDevice(hSet, &data))
            LOGF(0, LOG_NFO, "Removed the device created for %s", pszHardwareId);
        else
            LOG_SYSERR(GetLastError());
    }
    if (hSet != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(hSet);
    if (dwError == ERROR_FILE_NOT_FOUND) {
        ShowMessageBox("Failed to install A reboot might be pending to finish a previous uninstallation",
                       "Installer result", MB_OK | MB_TOPMOST | MB_ICONERROR);
        DEV_INFO context;
        memset(&context, 0, sizeof context);
        context.win_ver = pOptions->iWinVer;
        DeleteRegistryKeys(&context);
        DeleteSysFiles(&context);
    }
    return LOG_RETURN(0);
}

int ScanForHardwareChanges(void)
{
    LOG_ENTER();
    DEVINST devRoot = 0;
    if (CM_Locate_DevNodeA(&devRoot, NULL, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) {
        LOGF(0, LOG_ERR, "CM_Locate_DevNode failed");
        return LOG_RETURN(0);
    }
    if (CM_Reenumerate_DevNode(devRoot, 0) != CR_SUCCESS) {
        LOGF(0, LOG_ERR, "CM_Reenumerate_DevNode failed");
        return LOG_RETURN(0);
    }
    LOGF(0, LOG_SUC, "CM_Reenumerate_DevNode succeeded");
    return LOG_RETURN(1);
}

int InstallDriver(const char *pszCurrentDir, int iKind, INSTALLER_OPTIONS *pOptions)
{
    LOG_ENTER();
    (void)pszCurrentDir;
    const bool fTape = iKind == 1;
    char szInfPath[MAX_PATH];
    BuildInfPath(pOptions, fTape ? "reelbasf" : "armbasef", szInfPath, sizeof szInfPath);
    LOGF(0, LOG_NFO, "Installing driver for inf: %s", szInfPath);
    LOGP(LOG_NFO, "Installing driver for existing %s", fTape ? "tape drives..." : "medium changers...");
    const char *pszWord = fTape ? "tape" : "changer";
    const HWID_ENTRY *pTable = fTape ? g_TapeIds : g_ChangerIds;
    for (int i = 0; pTable[i].szHardwareId[0]; ++i) {
        const int iRef = i + 1;
        if (pTable[i].ulInclude == 0) {
            LOGF(0, LOG_NFO, "Device in exclude list, will not claim %s ReferenceNum = %i", pszWord, iRef);
            continue;
        }
        LOGF(0, LOG_DBG, "Calling UpdateDriverForPlugAndPlayDevices for %s ReferenceNum = %i", pszWord, iRef);
        BOOL fReboot = FALSE;
        SetLastError(0);
        if (UpdateDriverForPlugAndPlayDevicesA(NULL, pTable[i].szHardwareId, szInfPath, INSTALLFLAG_FORCE, &fReboot)) {
            LOGF(0, LOG_SUC, "Succeeded for %s ReferenceNum = %i", pszWord, iRef);
            continue;
        }
        DWORD dwError = GetLastError();
        if (dwError == ERROR_NO_DRIVER_SELECTED || dwError == ERROR_NO_SUCH_DEVINST)
            LOGF(0, LOG_DBG, "No such %s ReferenceNum = %i", pszWord, iRef);
        else if (dwError == 0)
            LOGF(0, LOG_DBG, "Marking non-present device for %s ReferenceNum = %i", pszWord, iRef);
        else
            LOGF(0, LOG_ERR, "Failed for %s ReferenceNum = %i", pszWord, iRef);
    }
    LOGP(LOG_SUC, "Successfully installed driver for existing %s", fTape ? "tape drives" : "medium changers");
    return LOG_RETURN(1);
}
