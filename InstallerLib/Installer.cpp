/*
 * The installer's two exports: each runs its numbered table of steps, stops at the first step
 * that fails with the message of its error table, dumps the log and tells the user the outcome.
 */
#include "Installer.h"
#include "instlib.h"

#include <cfgmgr32.h>

#include <stdio.h>
#include <string.h>


enum ERROR_ACTION { ACTION_STOP, ACTION_GO_ON, ACTION_USAGE, ACTION_STOP_STDERR };

struct STEP_ERROR {
    int iStep;
    ERROR_ACTION eAction;
    int iLevel;
    const char *pszMessage;
};

static const STEP_ERROR s_InstallErrors[] = {
    {0, ACTION_STOP_STDERR, LOG_ERR,
     "\nThere are pending device installations, please finish installing other devices before running this "
     "installer.\n"},
    /* A clock that cannot be read stays so: the run goes on without the time rather than retrying forever. */
    {1, ACTION_GO_ON, LOG_NFO, "Could not get start time"},
    {3, ACTION_USAGE, LOG_NFO, NULL},
    {4, ACTION_STOP, LOG_ERR, "Current Windows version is not supported"},
    {5, ACTION_STOP, LOG_ERR, "Failed to locate all required driver sys files"},
    {6, ACTION_STOP, LOG_ERR, "Failed to create necesary registry keys"},
    {7, ACTION_GO_ON, LOG_NFO, NULL},
    {8, ACTION_STOP, LOG_ERR, "Failed to uninstall devices"},
    {9, ACTION_STOP, LOG_ERR, "Failed to install virtual changer bus"},
    {10, ACTION_STOP, LOG_ERR, "Failed to install virtual tape bus"},
    {11, ACTION_STOP, LOG_ERR, "Failed to scan for hardware changes"},
    {12, ACTION_STOP, LOG_ERR, "Failed to install driver for medium changers"},
    {13, ACTION_STOP, LOG_ERR, "Failed to install driver for tape drives"},
    {14, ACTION_STOP, LOG_ERR, "Failed to set post-installation registry keys"},
    {15, ACTION_GO_ON, LOG_NFO, "Could not get end time"},
};

static const STEP_ERROR s_UninstallErrors[] = {
    {0, ACTION_GO_ON, LOG_NFO, "Could not get start time"},
    {2, ACTION_USAGE, LOG_NFO, NULL},
    {3, ACTION_STOP, LOG_ERR, "Current Windows version is not supported"},
    {4, ACTION_STOP, LOG_ERR, "Failed to uninstall all devices"},
    {5, ACTION_STOP, LOG_ERR, "Failed to delete all sys files"},
    {6, ACTION_STOP, LOG_ERR, "Failed to delete all registry keys"},
    {7, ACTION_GO_ON, LOG_NFO, "Could not get end time"},
};

static int ProcessStepError(const STEP_ERROR *pTable, size_t cEntries, int iStep, LOG *pLog)
{
    for (size_t i = 0; i < cEntries; ++i) {
        const STEP_ERROR &e = pTable[i];
        if (e.iStep != iStep)
            continue;
        if (e.pszMessage)
            LogMessage(pLog, 0, e.iLevel, __LINE__, __func__, __FILE__, e.pszMessage);
        switch (e.eAction) {
        case ACTION_GO_ON:
            return iStep + 1;
        case ACTION_USAGE:
            return STEP_USAGE;
        case ACTION_STOP_STDERR:
            fputs(e.pszMessage, stderr);
            fflush(stderr);
            return STEP_STOP;
        case ACTION_STOP:
            return STEP_STOP;
        }
    }
    LogMessage(pLog, 0, LOG_ERR, __LINE__, __func__, __FILE__, "Unexpected failure of a step");
    return STEP_STOP;
}

int ProcessInstallError(int iStep, LOG *pLog)
{
    return ProcessStepError(s_InstallErrors, sizeof s_InstallErrors / sizeof s_InstallErrors[0], iStep, pLog);
}

int ProcessUninstallError(int iStep, LOG *pLog)
{
    return ProcessStepError(s_UninstallErrors, sizeof s_UninstallErrors / sizeof s_UninstallErrors[0], iStep, pLog);
}

static int NoPendingInstallations(void)
{
    LOG_ENTER();
    DWORD rc = CMP_WaitNoPendingInstallEvents(0);
    return LOG_RETURN(rc == WAIT_OBJECT_0 ? 1 : 0);
}

static int PrintVersion(const char *pszWhat)
{
    LOGP(LOG_NFO, "\nVorka Tape/Changer device driver %s. Version: %s\n", pszWhat, INSTALLER_VERSION);
    return 1;
}

/* Runs one installation step: 1 success (or not selected), 0 failure. */
static int RunInstallStep(int iStep, int argc, char *argv[], int exclusive, INSTALLER_OPTIONS *pOptions)
{
    LOG *pLog = GetLog();
    switch (iStep) {
    case 0:
        return NoPendingInstallations();
    case 1:
        return GetTime(0, pLog);
    case 2:
        return PrintVersion(" installer");
    case 3:
        if (!ProcessInstallersArguments(argc, argv, pOptions))
            return 0;
        if (exclusive)
            pOptions->bModeFlags |= MODE_EXCLUSIVE;
        return 1;
    case 4:
        return GetWindowsVersion(&pOptions->iWinVer, pLog);
    case 5:
        return DriverSysFilesExistInCurDir(pOptions);
    case 6:
        return AddRegistryValues(pOptions);
    case 7:
        return (pOptions->bOptionFlags & OPT_DISABLE_RSM) ? DisableRSM() : 1;
    case 8: {
        /* Runs for tape drives alone (-t) too: a bus device installed again under path stacks
           that are still running is restarted, and the path filters, which open the bus's
           control device only when their driver loads, would keep the old one: the paths would
           stay unregistered and refuse every open. Removing the earlier devices of the kinds
           being installed lets the filter driver unload, so that it loads again after the new
           bus and registers every path with it. */
        DEV_INFO context;
        memset(&context, 0, sizeof context);
        context.win_ver = pOptions->iWinVer;
        context.Uninstaller = 0;
        context.hDevInfo = INVALID_HANDLE_VALUE;
        context.removeKinds = (pOptions->bOptionFlags & OPT_BOTH) ? REMOVE_ALL
                              : (pOptions->bOptionFlags & OPT_CHANGER_ONLY) ? REMOVE_CHANGERS
                                                                           : REMOVE_TAPES;
        return UninstallDevices(&context);
    }
    case 9:
        return ChangersIncluded(pOptions) ? InstallVirtualBus(BUS_CHANGER, pOptions) : 1;
    case 10:
        return TapesIncluded(pOptions) ? InstallVirtualBus(BUS_TAPE, pOptions) : 1;
    case 11:
        return ScanForHardwareChanges();
    case 12:
        return ChangersIncluded(pOptions) ? InstallDriver(pOptions->szCurrentDir, 0, pOptions) : 1;
    case 13:
        return TapesIncluded(pOptions) ? InstallDriver(pOptions->szCurrentDir, 1, pOptions) : 1;
    case 14:
        return (pOptions->bModeFlags & MODE_EXCLUSIVE) ? 1 : SetPostInstallRegistryKeys(pOptions);
    case 15:
        return GetTime(1, pLog);
    }
    return 0;
}

/* A failure before the options are parsed (step 0) still honours -d: the debug file is opened
   here, without ending the process when it cannot be. */
static void OpenEarlyDebugFile(INSTALLER_OPTIONS *pOptions)
{
    if (!(pOptions->bModeFlags & MODE_DEBUG) || pOptions->pDebugFile)
        return;
    char szDir[CURRENT_DIR_CHARS];
    DWORD cch = GetCurrentDirectoryA(sizeof szDir, szDir);
    if (cch == 0 || cch >= sizeof szDir)
        return;
    int n = snprintf(pOptions->szDebugFilePath, sizeof pOptions->szDebugFilePath, "%s\\debug.txt", szDir);
    if (n < 0 || (size_t)n >= sizeof pOptions->szDebugFilePath)
        return;
    pOptions->pDebugFile = StreamOpen(pOptions->szDebugFilePath, TRUE);
}

static void CloseInstallerFiles(INSTALLER_OPTIONS *pOptions)
{
    StreamClose(pOptions->pDebugFile);
    pOptions->pDebugFile = NULL;
    StreamClose(pOptions->pExcludeFile);
    pOptions->pExcludeFile = NULL;
}

extern "C" int InstallDrivers(int argc, char *argv[], int exclusive)
{
    LOG *pLog = GetLog();
    INSTALLER_OPTIONS options;
    memset(&options, 0, sizeof options);
    /* Step 0 runs before the options are parsed; its failure must still be silent with -s. */
    options.bModeFlags = PeekModeFlags(argc, argv);
    ResetHardwareIdTables();

    int iStep = 0;
    bool fStopped = false;
    while (iStep <= 15) {
        if (RunInstallStep(iStep, argc, argv, exclusive, &options)) {
            ++iStep;
            continue;
        }
        int iNext = ProcessInstallError(iStep, pLog);
        if (iNext == STEP_USAGE) {
            PrintInstallUsage();
            CloseInstallerFiles(&options);
            return 0;
        }
        if (iNext == STEP_STOP) {
            fStopped = true;
            break;
        }
        iStep = iNext;
    }

    if (!fStopped) {
        LOGF(0, LOG_SUC, "Successfully installed drivers.");
        printf("\n");
        DumpLog(pLog, options.iVerboseLevel, options.pDebugFile);
        if (!(options.bModeFlags & MODE_SILENT))
            ShowMessageBox("Successfully installed drivers.", "Installer result",
                           MB_OK | MB_TOPMOST | MB_ICONINFORMATION);
        CloseInstallerFiles(&options);
        return 0;
    }

    if (options.bModeFlags & MODE_DEBUG) {
        OpenEarlyDebugFile(&options);
        DumpLog(pLog, 2, options.pDebugFile);
    }
    fputs("\nError(s) with install. Check stderr for details.\n", stderr);
    fflush(stderr);
    if (!(options.bModeFlags & MODE_SILENT))
        ShowMessageBox("Installation stopped due to error(s). \nIf debug flag was set, check debug.txt for more details.",
                       "Installation error", MB_OK | MB_TOPMOST | MB_ICONERROR);
    CloseInstallerFiles(&options);
    return -1;
}

static int RunUninstallStep(int iStep, int argc, char *argv[], UNINSTALLER_OPTIONS *pOptions, DEV_INFO *pContext)
{
    LOG *pLog = GetLog();
    switch (iStep) {
    case 0:
        return GetTime(0, pLog);
    case 1:
        return PrintVersion("uninstaller");
    case 2:
        return ProcessUninstallersArguments(argc, argv, pOptions);
    case 3:
        if (!GetWindowsVersion(&pOptions->iWinVer, pLog))
            return 0;
        pContext->win_ver = pOptions->iWinVer;
        return 1;
    case 4:
        return UninstallDevices(pContext);
    case 5:
        return DeleteSysFiles(pContext);
    case 6:
        return DeleteRegistryKeys(pContext);
    case 7:
        return GetTime(1, pLog);
    }
    return 0;
}

extern "C" int UninstallDrivers(int argc, char *argv[])
{
    LOG *pLog = GetLog();
    UNINSTALLER_OPTIONS options;
    memset(&options, 0, sizeof options);
    options.dwRebootDelay = 30;
    DEV_INFO context;
    memset(&context, 0, sizeof context);
    context.Uninstaller = 1;
    context.hDevInfo = INVALID_HANDLE_VALUE;
    context.removeKinds = REMOVE_ALL;

    int iStep = 0;
    bool fStopped = false;
    while (iStep <= 7) {
        if (RunUninstallStep(iStep, argc, argv, &options, &context)) {
            ++iStep;
            continue;
        }
        int iNext = ProcessUninstallError(iStep, pLog);
        if (iNext == STEP_USAGE) {
            PrintUninstallUsage();
            StreamClose(options.pDebugFile);
            return 0;
        }
        if (iNext == STEP_STOP) {
            fStopped = true;
            break;
        }
        iStep = iNext;
    }

    if (fStopped) {
        DumpLog(pLog, 2, options.pDebugFile);
        fputs("\nError(s) with uninstall. Check stderr for details.\n", stderr);
        fflush(stderr);
        if (!options.fSilent)
            ShowMessageBox("Error(s) with Tape/Changer driver uninstall. Check stderr for more details.",
                           "Uninstall Status", MB_OK | MB_ICONERROR);
        StreamClose(options.pDebugFile);
        return -1;
    }

    printf("\n");
    DumpLog(pLog, options.iVerboseLevel, options.pDebugFile);
    printf("\nUninstall successful. \nPlease reboot the system to finish uninstalling all devices.\n\n");
    fflush(stdout);
    if (options.fReboot) {
        if (options.fSilent) {
            RebootSystem(0);
        } else {
            ShowMessageBox("Uninstall successful. Reboot countdown will begin after you click OK.", "Uninstall Status",
                           MB_OK | MB_ICONINFORMATION);
            RebootSystem(options.dwRebootDelay);
        }
    } else if (!options.fSilent) {
        ShowMessageBox("Uninstall successful. Please reboot the system to finish uninstalling all devices.",
                       "Uninstall Status", MB_OK | MB_ICONINFORMATION);
    }
    StreamClose(options.pDebugFile);
    return 0;
}
