/*
 * The installer's system checks and file work: the Windows version, the driver package in the
 * current directory, the copies for the checked drivers, stopping the Removable Storage Manager,
 * deleting the driver files, the reboot after removal, and the message boxes.
 */
#include "instlib.h"

#include <shlwapi.h>

#include <stdio.h>
#include <string.h>

void ShowMessageBox(const char *pszText, const char *pszTitle, UINT uType)
{
    MessageBoxA(NULL, pszText, pszTitle, uType);
}

int GetWindowsVersion(int *piCode, LOG *pLog)
{
    (void)pLog;
    LOG_ENTER();
    static const char s_szKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    char szProduct[256] = "";
    char szVersion[64] = "";
    QueryRegKey(NULL, s_szKey, "ProductName", szProduct, sizeof szProduct);
    QueryRegKey(NULL, s_szKey, "CurrentVersion", szVersion, sizeof szVersion);
    LOGF(0, LOG_NFO, "Windows: %s, version %s", szProduct, szVersion);

    OSVERSIONINFOEXW osvi;
    memset(&osvi, 0, sizeof osvi);
    osvi.dwOSVersionInfoSize = sizeof osvi;
    osvi.wProductType = VER_NT_WORKSTATION;
    ULONGLONG ullMask = VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL);
    const bool fWorkstation = VerifyVersionInfoW(&osvi, VER_PRODUCT_TYPE, ullMask) != FALSE;

    int iCode = -1;
    if (!fWorkstation && strstr(szVersion, "6.3")) {
        if (strstr(szProduct, "2019"))
            iCode = 19;
        else if (strstr(szProduct, "2022"))
            iCode = 22;
        else if (strstr(szProduct, "2025"))
            iCode = 25;
    }
    *piCode = iCode;
    LOGF(0, LOG_DBG, "Windows version code: %i", iCode);
    if (iCode < 22) {
        /* Shown in silent mode too: an unattended run must leave a trace the operator sees. */
        ShowMessageBox("Current Windows version is not supported. Min. version supported: Windows Server 2022",
                       "Installation error", MB_OK | MB_TOPMOST | MB_ICONERROR);
        return LOG_RETURN(0);
    }
    return LOG_RETURN(1);
}

void BuildInfPath(const INSTALLER_OPTIONS *pOptions, const char *pszInfName, char *pszOut, size_t cchOut)
{
    ComposePath(pszOut, cchOut, "%s\\drivers\\%s%s.inf", pOptions->szCurrentDir,
                (pOptions->bBuildFlags & BUILD_CHECKED) ? "checked\\" : "", pszInfName);
}

int DriverSysFilesExistInCurDir(INSTALLER_OPTIONS *pOptions)
{
    LOG_ENTER();
    static const struct {
        const char *pszInf;
        BYTE bFound;
    } s_Infs[] = {
        {"armbasef", MODE_INF_CHANGER},
        {"reelbasf", MODE_INF_TAPE},
        {"vorkacbus", MODE_INF_CBUS},
        {"vorkatbus", MODE_INF_TBUS},
    };
    int ok = 1;
    for (const auto &inf : s_Infs) {
        char szPath[MAX_PATH];
        BuildInfPath(pOptions, inf.pszInf, szPath, sizeof szPath);
        LOGF(0, LOG_DBG, "Looking for sys file: %s", szPath);
        if (PathFileExistsA(szPath)) {
            LOGF(0, LOG_DBG, "Sys file exists: %s", szPath);
            pOptions->bModeFlags |= inf.bFound;
        } else {
            LOGF(0, LOG_ERR, "Could not find: %s", szPath);
            ok = 0;
        }
    }
    return LOG_RETURN(ok);
}

static bool EndsWith(const char *pszName, const char *pszSuffix)
{
    size_t cchName = strlen(pszName), cchSuffix = strlen(pszSuffix);
    return cchName >= cchSuffix && strcmp(pszName + cchName - cchSuffix, pszSuffix) == 0;
}

static bool CopyOneFile(const char *pszFrom, const char *pszTo)
{
    HANDLE hFrom = CreateFileA(pszFrom, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFrom == INVALID_HANDLE_VALUE) {
        LOGF(0, LOG_ERR, "Could not find Source Path while copying single file.");
        return false;
    }
    HANDLE hTo = CreateFileA(pszTo, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hTo == INVALID_HANDLE_VALUE) {
        LOGF(0, LOG_ERR, "Could not find Destination Path while copying single file.");
        CloseHandle(hFrom);
        return false;
    }
    bool ok = true;
    char achBlock[512];
    for (;;) {
        DWORD cbRead = 0, cbWritten = 0;
        if (!ReadFile(hFrom, achBlock, sizeof achBlock, &cbRead, NULL)) {
            LOG_SYSERR(GetLastError());
            ok = false;
            break;
        }
        if (cbRead == 0)
            break;
        if (!WriteFile(hTo, achBlock, cbRead, &cbWritten, NULL) || cbWritten != cbRead) {
            LOG_SYSERR(GetLastError());
            ok = false;
            break;
        }
    }
    CloseHandle(hTo);
    CloseHandle(hFrom);
    return ok;
}

int CopyFilesForDebug(const char *pszSource, const char *pszDestination)
{
    LOG_ENTER();
    char szPattern[MAX_PATH];
    ComposePath(szPattern, sizeof szPattern, "%s\\*", pszSource);
    WIN32_FIND_DATAA find;
    HANDLE hFind = FindFirstFileA(szPattern, &find);
    if (hFind == INVALID_HANDLE_VALUE) {
        LOGF(0, LOG_ERR, "Could not find Source Path while copying.");
        return LOG_RETURN(0);
    }
    int ok = 1;
    do {
        if (find.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (!EndsWith(find.cFileName, ".inf") && !EndsWith(find.cFileName, ".cat"))
            continue;
        char szFrom[MAX_PATH], szTo[MAX_PATH];
        ComposePath(szFrom, sizeof szFrom, "%s\\%s", pszSource, find.cFileName);
        ComposePath(szTo, sizeof szTo, "%s\\%s", pszDestination, find.cFileName);
        if (!CopyOneFile(szFrom, szTo))
            ok = 0;
    } while (FindNextFileA(hFind, &find));
    FindClose(hFind);
    if (ok)
        LOGF(0, LOG_SUC, "Files with extension [.inf] and [.cat] copied succesfully.");
    return LOG_RETURN(ok);
}

/* The two service commands "sc config ntmssvc start= disabled" and "sc stop ntmssvc", made
   through the service control manager that sc itself talks to. Their outcome is only logged. */
static void DisableAndStopService(const char *pszService)
{
    SC_HANDLE hManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!hManager) {
        LOG_SYSERR(GetLastError());
        return;
    }
    SC_HANDLE hService = OpenServiceA(hManager, pszService, SERVICE_CHANGE_CONFIG | SERVICE_STOP);
    if (!hService) {
        LOGF(0, LOG_DBG, "Could not open service %s: error %u", pszService, (unsigned)GetLastError());
        CloseServiceHandle(hManager);
        return;
    }
    if (ChangeServiceConfigA(hService, SERVICE_NO_CHANGE, SERVICE_DISABLED, SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL,
                             NULL, NULL, NULL))
        LOGF(0, LOG_DBG, "sc config %s start= disabled: done", pszService);
    else
        LOGF(0, LOG_DBG, "sc config %s start= disabled: error %u", pszService, (unsigned)GetLastError());
    SERVICE_STATUS status;
    memset(&status, 0, sizeof status);
    if (ControlService(hService, SERVICE_CONTROL_STOP, &status))
        LOGF(0, LOG_DBG, "sc stop %s: done", pszService);
    else
        LOGF(0, LOG_DBG, "sc stop %s: error %u", pszService, (unsigned)GetLastError());
    CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
}

int DisableRSM(void)
{
    LOG_ENTER();
    LOGP(LOG_NFO, "Attempting to stop the RSM service...");
    DisableAndStopService("ntmssvc");
    return LOG_RETURN(1);
}

int DriverSysFileExists(const char *pszPath)
{
    LOG_ENTER();
    LOGF(0, LOG_DBG, "Looking for: %s", pszPath);
    HANDLE hFile = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return LOG_RETURN(0);
    CloseHandle(hFile);
    return LOG_RETURN(1);
}

int DeleteSysFiles(DEV_INFO *pContext)
{
    LOG_ENTER();
    LOGF(0, LOG_NFO, "Entering DeleteSysFiles function:");
    char szSystem[MAX_PATH];
    UINT cch = GetSystemDirectoryA(szSystem, sizeof szSystem);
    if (cch == 0 || cch >= sizeof szSystem) {
        LOG_SYSERR(GetLastError());
        return LOG_RETURN(0);
    }
    int ok = 1;
    for (int iType = 0; iType < 6; ++iType) {
        char szPath[MAX_PATH];
        ComposePath(szPath, sizeof szPath, "%s\\drivers\\%s.sys", szSystem, g_ServiceNames[iType]);
        if (!DriverSysFileExists(szPath)) {
            LOGF(0, LOG_NFO, "Could not open file: %s. Uninstaller might have ben ran previoulsy,  please verify",
                 szPath);
            LOGF(0, LOG_NFO, "Already removed: %s", szPath);
            continue;
        }
        SetFileAttributesA(szPath, FILE_ATTRIBUTE_NORMAL);
        BOOL fDeleted = DeleteFileA(szPath);
        if (!fDeleted) {
            if (pContext)
                pContext->last_error = GetLastError();
            LOG_SYSERR(GetLastError());
            ok = 0;
            continue;
        }
        LOGF(0, LOG_DBG, "RC DeleteFile(DriverSysFile) Return: %d", (int)fDeleted);
        LOGF(0, LOG_SUC, "Successfully removed: %s", szPath);
    }
    return LOG_RETURN(ok);
}

static BOOL SetShutdownPrivilege(HANDLE hToken, BOOL fEnable)
{
    TOKEN_PRIVILEGES tp;
    memset(&tp, 0, sizeof tp);
    if (!LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &tp.Privileges[0].Luid))
        return FALSE;
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = fEnable ? SE_PRIVILEGE_ENABLED : 0;
    SetLastError(ERROR_SUCCESS);
    AdjustTokenPrivileges(hToken, FALSE, &tp, 0, NULL, NULL);
    return GetLastError() == ERROR_SUCCESS;
}

void RebootSystem(DWORD dwDelay)
{
    LOG_ENTER();
    HANDLE hToken = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        LOG_SYSERR(GetLastError());
        return;
    }
    if (!SetShutdownPrivilege(hToken, TRUE)) {
        LOG_SYSERR(GetLastError());
        CloseHandle(hToken);
        return;
    }
    char szMessage[] = "User requested automatic reboot. Vorka device drivers will be fully uninstalled after reboot";
    DWORD rc = InitiateShutdownA(NULL, szMessage, dwDelay, SHUTDOWN_FORCE_OTHERS | SHUTDOWN_RESTART,
                                 SHTDN_REASON_MINOR_HARDWARE_DRIVER);
    LOGF(0, LOG_DBG, "InitiateShutdown: %u", (unsigned)rc);
    SetShutdownPrivilege(hToken, FALSE);
    CloseHandle(hToken);
    LOGF(0, LOG_EXT, "Returning: %i", 1);
}
