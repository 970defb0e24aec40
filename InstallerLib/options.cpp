/*
 * Command lines of the install and uninstall front ends.
 */
#include "instlib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void PrintInstallUsage(void)
{
    fputs("\nUSAGE:\n   install_excl.exe | install_nonexcl.exe [-c|-t][-d][-s][-h][-r][-f][-p][-m][-a][-e][-x]\n\n"
          "  c = install only the changer drivers\n"
          "  t = install only the tape drivers\n"
          "  d = output installation debug information to file\n"
          "  s = silent mode (suppress pop-ups)\n"
          "  r = disable the RSM service\n"
          "  f = disable DPF\n"
          "  p = use persistent reserve if DPF disabled\n"
          "  m = disable media polling\n"
          "  a = disable WRAttributes\n"
          "  v = verbose level (1 - 3)\n"
          "  e = exclude, or do not bind to, devices listed in exclude.txt\n"
          "  h = print this usage information\n"
          "  x = install the checked drivers for debugging purposes\n"
          "\n"
          "See the Vorka Tape Device Drivers Installation and Users Guide for more information \n"
          "and the install_README.txt for  install_excl.exe or install_nonexcl.exe use\n",
          stdout);
    fflush(stdout);
}

void PrintUninstallUsage(void)
{
    fputs("Usage:\n\nuninst -d filename -v level -r secs_to_reboot -s.\n\n"
          "  -d: Enable debug messages.\n"
          "  -v: Verbose level (1 - 3).\n"
          "  -r: Reboot system, if successful, after specified seconds.\n"
          "  -s: Silent mode, no user intervention.\n"
          "  -h: Show this help message and exit.\n\n"
          "  Note: If reboot is requested, all users will be logged off, use with care.\n"
          "        If -r and -s are supplied, system will be immediately rebooted if\n"
          "        uninstallation is successful.\n",
          stdout);
    fflush(stdout);
}

static bool IsOption(const char *pszArg) { return pszArg && (pszArg[0] == '-' || pszArg[0] == '/'); }

BYTE PeekModeFlags(int argc, char *argv[])
{
    BYTE bFlags = 0;
    for (int i = 0; i < argc; ++i) {
        const char *pszArg = argv[i];
        if (!IsOption(pszArg) || strlen(pszArg) != 2)
            continue;
        char ch = (char)(pszArg[1] | 0x20);
        if (ch == 's')
            bFlags |= MODE_SILENT;
        else if (ch == 'd')
            bFlags |= MODE_DEBUG;
    }
    return bFlags;
}

static void ReadCurrentDirectory(char *pszDir, size_t cchDir)
{
    DWORD cch = GetCurrentDirectoryA((DWORD)cchDir, pszDir);
    if (cch == 0 || cch >= cchDir)
        FatalExit("Failed to get current directory needed by this installer\nPlease ensure there is enough memory\n");
}

int ProcessInstallersArguments(int argc, char *argv[], INSTALLER_OPTIONS *pOptions)
{
    LOG_ENTER();
    memset(pOptions, 0, sizeof *pOptions);
    pOptions->bOptionFlags = OPT_BOTH;
    ReadCurrentDirectory(pOptions->szCurrentDir, sizeof pOptions->szCurrentDir);

    bool fChangerOnly = false, fTapeOnly = false;
    for (int i = 0; i < argc; ++i) {
        const char *pszArg = argv[i];
        size_t cchArg = pszArg ? strlen(pszArg) : 0;
        if (!IsOption(pszArg) || cchArg >= 8 || cchArg < 2)
            return LOG_RETURN(0);
        char ch = (char)(pszArg[1] | 0x20);
        if (ch != 'v' && cchArg > 2)
            return LOG_RETURN(0);
        switch (ch) {
        case 'a':
            pOptions->bOptionFlags |= OPT_DISABLE_WRATTRIBUTES;
            LOGP(LOG_NFO, "-a specified. Installer will disable WRAttributes");
            break;
        case 'c':
            LOGP(LOG_NFO, "Changer Only flag has been set");
            if (fTapeOnly) {
                LOGP(LOG_ERR, "Can't set both Changer Only and Tape Only, please specify a different configuration");
                FatalExit("");
            }
            fChangerOnly = true;
            pOptions->bOptionFlags = (BYTE)((pOptions->bOptionFlags & ~OPT_BOTH) | OPT_CHANGER_ONLY);
            break;
        case 'd':
            pOptions->bModeFlags |= MODE_DEBUG;
            ComposePath(pOptions->szDebugFilePath, sizeof pOptions->szDebugFilePath, "%s\\debug.txt",
                        pOptions->szCurrentDir);
            if (!pOptions->pDebugFile)
                pOptions->pDebugFile = StreamOpen(pOptions->szDebugFilePath, TRUE);
            if (!pOptions->pDebugFile)
                FatalExit("Failed to create file: %s\n\nPlease ensure there is enough free space and try again\n",
                          pOptions->szDebugFilePath);
            LOGP(LOG_NFO, "Debug flag has been set. Check log for more details:\n %s", pOptions->szDebugFilePath);
            break;
        case 'e':
            pOptions->bModeFlags |= MODE_EXCLUDE;
            LOGP(LOG_NFO, "-e specified. Installer will exclude, or not bind driver to, devices listed in exclude.txt");
            ComposePath(pOptions->szExcludeFilePath, sizeof pOptions->szExcludeFilePath, "%s\\exclude.txt",
                        pOptions->szCurrentDir);
            if (!pOptions->pExcludeFile)
                pOptions->pExcludeFile = StreamOpen(pOptions->szExcludeFilePath, FALSE);
            if (!pOptions->pExcludeFile)
                FatalExit("Failed to open file: %s\n\nPlease ensure the file exists and try again\n",
                          pOptions->szExcludeFilePath);
            MarkDevsToExclude(pOptions->pExcludeFile);
            break;
        case 'f':
            pOptions->bOptionFlags |= OPT_DISABLE_DPF;
            LOGP(LOG_NFO, "-f specified. Installer will disable DPF");
            break;
        case 'h':
            return LOG_RETURN(0);
        case 'm':
            pOptions->bOptionFlags |= OPT_DISABLE_MEDIA_POLLING;
            LOGP(LOG_NFO, "-m specified. Installer will disable media polling");
            break;
        case 'p':
            pOptions->bOptionFlags |= OPT_PERSISTENT_RESERVE;
            LOGP(LOG_NFO, "-p specified. Installer will attempt persistent reserve when DPF is disabled");
            break;
        case 'r':
            pOptions->bOptionFlags |= OPT_DISABLE_RSM;
            LOGP(LOG_NFO, "-r specified. Installer will attempt to disable RSM");
            break;
        case 's':
            pOptions->bModeFlags |= MODE_SILENT;
            LOGP(LOG_NFO, "Silent mode flag has been set");
            break;
        case 't':
            LOGP(LOG_NFO, "Tape Only flag has been set");
            if (fChangerOnly) {
                LOGP(LOG_ERR, "Can't set both Changer Only and Tape Only, please specify a different configuration");
                FatalExit("");
            }
            fTapeOnly = true;
            pOptions->bOptionFlags = (BYTE)((pOptions->bOptionFlags & ~OPT_BOTH) | OPT_TAPE_ONLY);
            break;
        case 'v':
            if (cchArg <= 3)
                pOptions->iVerboseLevel = 0;
            else if (cchArg == 4)
                pOptions->iVerboseLevel = pszArg[3] == '1' ? 0 : pszArg[3] == '2' ? 1 : 2;
            else
                pOptions->iVerboseLevel = 2;
            break;
        case 'x': {
            pOptions->bBuildFlags |= BUILD_CHECKED;
            LOGP(LOG_NFO, "Install checked flag has been set");
            char szSource[MAX_PATH], szDestination[MAX_PATH];
            ComposePath(szSource, sizeof szSource, "%s\\drivers", pOptions->szCurrentDir);
            ComposePath(szDestination, sizeof szDestination, "%s\\drivers\\checked", pOptions->szCurrentDir);
            CopyFilesForDebug(szSource, szDestination);
            break;
        }
        default:
            break;
        }
    }
    return LOG_RETURN(1);
}

int ProcessUninstallersArguments(int argc, char *argv[], UNINSTALLER_OPTIONS *pOptions)
{
    LOG_ENTER();
    memset(pOptions, 0, sizeof *pOptions);
    pOptions->dwRebootDelay = 30;
    ReadCurrentDirectory(pOptions->szCurrentDir, sizeof pOptions->szCurrentDir);

    for (int i = 0; i < argc; ++i) {
        const char *pszArg = argv[i];
        if (!IsOption(pszArg) || !pszArg[1])
            return LOG_RETURN(0);
        size_t cchArg = strlen(pszArg);
        switch (pszArg[1] | 0x20) {
        case '?' | 0x20:
        case 'h':
            return LOG_RETURN(0);
        case 'd':
            ComposePath(pOptions->szDebugFilePath, sizeof pOptions->szDebugFilePath, "%s\\uninst_debug.txt",
                        pOptions->szCurrentDir);
            if (!pOptions->pDebugFile)
                pOptions->pDebugFile = StreamOpen(pOptions->szDebugFilePath, TRUE);
            if (!pOptions->pDebugFile) {
                printf("Failed to create file: %s\n\nPlease ensure there is enough free space and try again\n",
                       pOptions->szDebugFilePath);
                FatalExit("");
            }
            LOGP(LOG_NFO, "Debug enabled, check log for more details at:\n%s", pOptions->szDebugFilePath);
            break;
        case 'r':
            pOptions->fReboot = TRUE;
            pOptions->dwRebootDelay = cchArg <= 3 ? 15 : (DWORD)strtoul(pszArg + 3, NULL, 10);
            break;
        case 's':
            pOptions->fSilent = TRUE;
            break;
        case 'v':
            if (cchArg >= 4 && pszArg[3] == '2')
                pOptions->iVerboseLevel = 1;
            else if (cchArg >= 4 && pszArg[3] == '3')
                pOptions->iVerboseLevel = 2;
            break;
        default:
            break;
        }
    }
    return LOG_RETURN(1);
}
