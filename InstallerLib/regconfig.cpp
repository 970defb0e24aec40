/*
 * The drivers' configuration in the registry: the Parameters values the installation options
 * select, their second writing after the devices are installed (non-exclusive mode), and the
 * deletion of every service key on removal.
 */
#include "instlib.h"

#include <stdio.h>
#include <string.h>

#define SERVICES_KEY "System\\CurrentControlSet\\Services\\"

const char *const g_ServiceNames[DRIVER_TYPES] = {
    "vorkachgr",     "vorkatape",     "vorkacbus",     "vorkatbus",     "vorkacflt",     "vorkatflt",
    "vorkachgr2k16", "vorkatape2k16", "vorkacbus2k16", "vorkatbus2k16", "vorkacflt2k16", "vorkatflt2k16",
    "vorkachgr2k19", "vorkatape2k19", "vorkacbus2k19", "vorkatbus2k19", "vorkacflt2k19", "vorkatflt2k19",
};

int CreateRegKey(const char *pszKeyPath, HKEY *phKey)
{
    LOG_ENTER();
    DWORD dwDisposition = 0;
    LSTATUS rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszKeyPath, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 NULL, phKey, &dwDisposition);
    if (rc != ERROR_SUCCESS) {
        LOG_SYSERR((DWORD)rc);
        return LOG_RETURN(0);
    }
    LOGF(0, LOG_DBG, "Successfully created key: %s", pszKeyPath);
    return LOG_RETURN(1);
}

int SetRegKey(HKEY hKey, const char *pszValueName, DWORD dwFlag)
{
    LOG_ENTER();
    DWORD dwData = dwFlag != 0 ? 1 : 0;
    LSTATUS rc = RegSetValueExA(hKey, pszValueName, 0, REG_DWORD, (const BYTE *)&dwData, sizeof dwData);
    if (rc != ERROR_SUCCESS) {
        LOG_SYSERR((DWORD)rc);
        return LOG_RETURN(0);
    }
    LOGF(0, LOG_DBG, "Successfully set key %s to: %i", pszValueName, (int)dwData);
    return LOG_RETURN(1);
}

int QueryRegKey(HKEY hKey, const char *pszSubKey, const char *pszValueName, void *pBuffer, DWORD cbBuffer)
{
    LOG_ENTER();
    HKEY hOpened = NULL;
    if (!hKey) {
        LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszSubKey, 0, KEY_READ, &hOpened);
        if (rc != ERROR_SUCCESS) {
            LOG_SYSERR((DWORD)rc);
            return LOG_RETURN(0);
        }
        hKey = hOpened;
    }
    DWORD dwType = 0;
    DWORD cbData = cbBuffer;
    LSTATUS rc = RegQueryValueExA(hKey, pszValueName, NULL, &dwType, (LPBYTE)pBuffer, &cbData);
    if (hOpened)
        RegCloseKey(hOpened);
    if (rc != ERROR_SUCCESS) {
        LOG_SYSERR((DWORD)rc);
        return LOG_RETURN(0);
    }
    /* Every caller reads a string. One that fills the buffer exactly comes back without its
       terminator, and a value of another type (binary data, say) has none at all. */
    if (cbBuffer) {
        char *psz = (char *)pBuffer;
        if (cbData >= cbBuffer)
            psz[cbBuffer - 1] = '\0';
        else
            psz[cbData] = '\0';
    }
    return LOG_RETURN(1);
}

static void ParametersKeyPath(int iDriverType, char *pszOut, size_t cchOut)
{
    snprintf(pszOut, cchOut, SERVICES_KEY "%s\\Parameters", g_ServiceNames[iDriverType]);
}

int SetDriverRegistryValue(int iDriverType, const char *pszValueName, DWORD dwData)
{
    LOG_ENTER();
    LOGF(0, LOG_DBG, "Setting %s=%i for driver type %i", pszValueName, (int)dwData, iDriverType);
    char szKey[128];
    ParametersKeyPath(iDriverType, szKey, sizeof szKey);
    HKEY hKey = NULL;
    if (!CreateRegKey(szKey, &hKey)) {
        LOGF(0, LOG_ERR, "Failed to create key: %s", szKey);
        return LOG_RETURN(0);
    }
    int ok = SetRegKey(hKey, pszValueName, dwData);
    if (!ok)
        LOGF(0, LOG_ERR, "Failed to set %s to key: %s", pszValueName, szKey);
    RegCloseKey(hKey);
    return LOG_RETURN(ok);
}

static const int s_BaseAndBusTypes[] = {0, 2, 3, 1};
static const int s_FilterTypes[] = {4, 5};

/* Closes the keys that AddRegistryValues opened, whatever happened. */
struct OPEN_KEYS {
    HKEY hTape = NULL, hTapeBus = NULL, hChanger = NULL;
    ~OPEN_KEYS()
    {
        if (hTape)
            RegCloseKey(hTape);
        if (hTapeBus)
            RegCloseKey(hTapeBus);
        if (hChanger)
            RegCloseKey(hChanger);
    }
};

static int WriteOptionValues(INSTALLER_OPTIONS *pOptions)
{
    const bool fExclusive = (pOptions->bModeFlags & MODE_EXCLUSIVE) != 0;
    const BYTE bOpt = pOptions->bOptionFlags;
    LOGF(0, LOG_NFO, "Exclusive? %s DPF Disabled? %s Reserve type: %s Disable Media Polling? %s",
         fExclusive ? "TRUE" : "FALSE", (bOpt & OPT_DISABLE_DPF) ? "TRUE" : "FALSE",
         (bOpt & OPT_PERSISTENT_RESERVE) ? "Persistent" : "Regular",
         (bOpt & OPT_DISABLE_MEDIA_POLLING) ? "TRUE" : "FALSE");

    OPEN_KEYS keys;
    char szKey[128];
    ParametersKeyPath(1, szKey, sizeof szKey);
    if (!CreateRegKey(szKey, &keys.hTape)) {
        LOGF(0, LOG_ERR, "Failed to create Tape key: %s", szKey);
        return 0;
    }
    if (!SetRegKey(keys.hTape, "ExclusiveAccess", fExclusive)) {
        LOGF(0, LOG_ERR, "Failed to set ExclusiveAccess to key: %s", szKey);
        return 0;
    }
    if (!SetRegKey(keys.hTape, "ReserveType", (bOpt & OPT_PERSISTENT_RESERVE) != 0)) {
        LOGF(0, LOG_ERR, "Failed to set ReserveType to key: %s", szKey);
        return 0;
    }
    if ((bOpt & OPT_DISABLE_WRATTRIBUTES) && !SetRegKey(keys.hTape, "WRAttributesDisabled", 1)) {
        LOGF(0, LOG_ERR, "Failed to set WRAttributesDisabled to key: %s", szKey);
        return 0;
    }
    if (bOpt & OPT_DISABLE_DPF) {
        if (!SetRegKey(keys.hTape, "FailoverDisabled", 1)) {
            LOGF(0, LOG_ERR, "Failed to set %s to key: %s", "FailoverDisabled", szKey);
            return 0;
        }
        char szBusKey[128];
        ParametersKeyPath(3, szBusKey, sizeof szBusKey);
        if (!CreateRegKey(szBusKey, &keys.hTapeBus)) {
            LOGF(0, LOG_ERR, "Failed to create Tape Bus key: %s", szBusKey);
            return 0;
        }
        if (!SetRegKey(keys.hTapeBus, "FailoverDisabled", 1)) {
            LOGF(0, LOG_ERR, "Failed to set %s to key: %s", "FailoverDisabled", szBusKey);
            return 0;
        }
    }
    if (bOpt & OPT_DISABLE_MEDIA_POLLING) {
        if (!SetRegKey(keys.hTape, "DisableMediaPolling", 1)) {
            LOGF(0, LOG_ERR, "Failed to set DisableMediaPolling to key: %s", szKey);
            return 0;
        }
        char szChangerKey[128];
        ParametersKeyPath(0, szChangerKey, sizeof szChangerKey);
        if (!CreateRegKey(szChangerKey, &keys.hChanger)) {
            LOGF(0, LOG_ERR, "Failed to create Changer key: %s", szChangerKey);
            return 0;
        }
        if (!SetRegKey(keys.hChanger, "DisableMediaPolling", 1)) {
            LOGF(0, LOG_ERR, "Failed to set DisableMediaPolling to key: %s", szChangerKey);
            return 0;
        }
    }
    return 1;
}

int AddRegistryValues(INSTALLER_OPTIONS *pOptions)
{
    LOG_ENTER();
    if (!WriteOptionValues(pOptions))
        return LOG_RETURN(0);
    if (pOptions->bModeFlags & MODE_EXCLUSIVE)
        return LOG_RETURN(1);

    LOGF(0, LOG_NFO,
         "Non-exclusive mode detected. Setting %s=1 and %s=0 for all driver services, and %s=0 for filter drivers",
         "FailoverDisabled", "FailoverDriver", "FailoverDriver");
    for (int iType : s_BaseAndBusTypes) {
        if (!SetDriverRegistryValue(iType, "FailoverDisabled", 1)) {
            LOGF(0, LOG_ERR, "Failed to set %s for driver type %i", "FailoverDisabled", iType);
            return LOG_RETURN(0);
        }
        if (!SetDriverRegistryValue(iType, "FailoverDriver", 0)) {
            LOGF(0, LOG_ERR, "Failed to set %s for driver type %i", "FailoverDriver", iType);
            return LOG_RETURN(0);
        }
    }
    for (int iType : s_FilterTypes) {
        if (!SetDriverRegistryValue(iType, "FailoverDriver", 0)) {
            LOGF(0, LOG_ERR, "Failed to set %s for filter driver type %i", "FailoverDriver", iType);
            return LOG_RETURN(0);
        }
    }
    LOGF(0, LOG_SUC, "Successfully set %s=1 and %s=0 for all driver services, and %s=0 for filter drivers",
         "FailoverDisabled", "FailoverDriver", "FailoverDriver");
    return LOG_RETURN(1);
}

int SetPostInstallRegistryKeys(INSTALLER_OPTIONS *pOptions)
{
    LOG_ENTER();
    (void)pOptions;
    LOGF(0, LOG_NFO, "Setting post-installation registry keys for non-exclusive mode");
    LOGF(0, LOG_NFO, "Setting %s=0 for all driver services after installation", "FailoverDriver");
    static const int s_Types[] = {0, 2, 3, 1, 4, 5};
    for (int iType : s_Types) {
        if (!SetDriverRegistryValue(iType, "FailoverDriver", 0)) {
            LOGF(0, LOG_ERR, "Failed to set %s for driver type %i", "FailoverDriver", iType);
            return LOG_RETURN(0);
        }
    }
    LOGF(0, LOG_SUC, "Successfully set %s=0 for all driver services after installation", "FailoverDriver");
    return LOG_RETURN(1);
}

int DeleteRegistryKeys(DEV_INFO *pContext)
{
    LOG_ENTER();
    (void)pContext;
    int ok = 1;
    HKEY hServices = NULL;
    LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0,
                               DELETE | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS, &hServices);
    if (rc != ERROR_SUCCESS) {
        LOG_SYSERR((DWORD)rc);
        return LOG_RETURN(0);
    }
    for (int iType = 0; iType < DRIVER_TYPES; ++iType) {
        const char *pszName = g_ServiceNames[iType];
        rc = RegDeleteTreeA(hServices, pszName);
        if (rc == ERROR_SUCCESS) {
            /* RegDeleteTree leaves the key itself; the service key goes too. */
            rc = RegDeleteKeyA(hServices, pszName);
            if (rc == ERROR_FILE_NOT_FOUND)
                rc = ERROR_SUCCESS;
        }
        if (rc == ERROR_SUCCESS) {
            LOGF(0, LOG_SUC, "Subkeys and values successfully deleted: %s", pszName);
        } else if (rc == ERROR_FILE_NOT_FOUND) {
            LOGF(0, LOG_NFO, "Subkeys and values already deleted: %s", pszName);
        } else {
            LOG_SYSERR((DWORD)rc);
            ok = 0;
        }
    }
    RegCloseKey(hServices);
    return LOG_RETURN(ok);
}
