/*
 * Shared declarations of the installer library: options, the in-memory log, the file streams,
 * the hardware-ID tables and the step functions of installation and removal.
 *
 * Every step function returns 1 for success and 0 for failure and logs what it did.
 */
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <stdarg.h>
#include <stddef.h>

#define INSTALLER_VERSION "7.0.1.7-Ax64"

/* ---- Log ---------------------------------------------------------------------------------- */

enum LOG_LEVEL { LOG_ERR = 0, LOG_NFO = 1, LOG_DBG = 2, LOG_SUC = 3, LOG_ENT = 4, LOG_EXT = 5 };

#define LOG_FUNCTION_CHARS 255
#define LOG_FILE_CHARS 255
#define LOG_MESSAGE_CHARS 1024

struct LOG_ENTRY {
    int iLevel;
    int iLine;
    const char *pszPrefix;
    char szFunction[LOG_FUNCTION_CHARS + 1];
    char szFile[LOG_FILE_CHARS + 1];
    char szMessage[LOG_MESSAGE_CHARS + 1];
    LOG_ENTRY *pNext;
};

/* Head of the log: entries in the order they were made. */
struct LOG {
    LOG_ENTRY *pFirst;
    LOG_ENTRY *pLast;
};

/* A file the installer writes or reads (debug file, exclude list), over the Win32 file calls. */
struct INST_STREAM {
    HANDLE hFile;
    /* read side: a small buffer so that lines can be taken one character at a time */
    char achBuf[512];
    DWORD cbBuf;
    DWORD iPos;
    BOOL fEof;
    INST_STREAM *pNextOpen; /* every open stream, so that the end of the process closes them */
};

INST_STREAM *StreamOpen(const char *pszPath, BOOL fWrite);
void StreamClose(INST_STREAM *pStream);
/* Closes every stream still open (process end, library unload). */
void CloseAllStreams(void);
void StreamWrite(INST_STREAM *pStream, const char *pszText);
/* Reads one line of at most cchMax - 1 characters without its line end ("\n" or "\r\n"); the
   rest of a longer line is read and dropped. Returns FALSE at the end of the file. */
BOOL StreamReadLine(INST_STREAM *pStream, char *pszLine, size_t cchMax, BOOL *pfTruncated);

LOG *GetLog(void);
void FreeLog(void);
void LogMessage(LOG *pLog, DWORD dwError, int iLevel, int iLine, const char *pszFunction, const char *pszFile,
                const char *pszMessage);
void LogFormat(LOG *pLog, DWORD dwError, int iLevel, int iLine, const char *pszFunction, const char *pszFile,
               const char *pszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 7, 8)))
#endif
    ;
void PrintLastMessage(LOG *pLog);
void DumpLog(LOG *pLog, int iMode, INST_STREAM *pStream);
int GetTime(int fStop, LOG *pLog);

#define LOGF(err, level, ...) LogFormat(GetLog(), (err), (level), __LINE__, __func__, __FILE__, __VA_ARGS__)
/* Log at a level and print the message like the option and progress messages. */
#define LOGP(level, ...) (LOGF(0, (level), __VA_ARGS__), PrintLastMessage(GetLog()))
/* Logs the system's text of an error code at level 0. */
#define LOG_SYSERR(err) LogMessage(GetLog(), (DWORD)(err), LOG_ERR, __LINE__, __func__, __FILE__, NULL)
#define LOG_ENTER() LOGF(0, LOG_ENT, "Entering function")
#define LOG_RETURN(rc) (LOGF(0, LOG_EXT, "Returning: %i", (int)(rc)), (rc))

/* Prints the message to standard error, frees the log and ends the process with exit code 1. */
[[noreturn]] void FatalExit(const char *pszFormat, ...);
/* snprintf into a path buffer; a path that does not fit is fatal (exit code 1). */
void ComposePath(char *pszOut, size_t cchOut, const char *pszFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* ---- Step tables ---------------------------------------------------------------------------- */

/* What ProcessInstallError and ProcessUninstallError answer besides the next step to run. */
#define STEP_STOP (-1)
#define STEP_USAGE (-2)
/* A failed step: logs its error-table message and answers the next step, STEP_STOP or STEP_USAGE. */
int ProcessInstallError(int iStep, LOG *pLog);
int ProcessUninstallError(int iStep, LOG *pLog);

/* ---- Options ------------------------------------------------------------------------------ */

#define CURRENT_DIR_CHARS 1024

/* option flags */
#define OPT_BOTH 0x01
#define OPT_CHANGER_ONLY 0x02
#define OPT_TAPE_ONLY 0x04
#define OPT_DISABLE_RSM 0x08
#define OPT_DISABLE_MEDIA_POLLING 0x10
#define OPT_DISABLE_DPF 0x20
#define OPT_DISABLE_WRATTRIBUTES 0x40
#define OPT_PERSISTENT_RESERVE 0x80
/* mode flags */
#define MODE_EXCLUSIVE 0x01
#define MODE_DEBUG 0x02
#define MODE_SILENT 0x04
#define MODE_EXCLUDE 0x08
#define MODE_INF_CBUS 0x10
#define MODE_INF_TBUS 0x20
#define MODE_INF_CHANGER 0x40
#define MODE_INF_TAPE 0x80
/* build flags */
#define BUILD_CHECKED 0x01

struct INSTALLER_OPTIONS {
    INST_STREAM *pDebugFile;
    INST_STREAM *pExcludeFile;
    char szDebugFilePath[MAX_PATH];
    char szExcludeFilePath[MAX_PATH];
    char szCurrentDir[CURRENT_DIR_CHARS];
    int iVerboseLevel;
    int iWinVer;
    BYTE bOptionFlags;
    BYTE bModeFlags;
    BYTE bBuildFlags;
};

struct UNINSTALLER_OPTIONS {
    INST_STREAM *pDebugFile;
    char szDebugFilePath[MAX_PATH];
    char szCurrentDir[CURRENT_DIR_CHARS];
    int iVerboseLevel;
    BOOL fReboot;
    DWORD dwRebootDelay;
    BOOL fSilent;
    int iWinVer;
};

inline bool ChangersIncluded(const INSTALLER_OPTIONS *p) { return (p->bOptionFlags & (OPT_BOTH | OPT_CHANGER_ONLY)) != 0; }
inline bool TapesIncluded(const INSTALLER_OPTIONS *p) { return (p->bOptionFlags & (OPT_BOTH | OPT_TAPE_ONLY)) != 0; }

/* Return 1 after parsing, 0 when the usage text was printed. */
int ProcessInstallersArguments(int argc, char *argv[], INSTALLER_OPTIONS *pOptions);
int ProcessUninstallersArguments(int argc, char *argv[], UNINSTALLER_OPTIONS *pOptions);
void PrintInstallUsage(void);
void PrintUninstallUsage(void);
/* -s and -d as they appear in the arguments, before the options are parsed. */
BYTE PeekModeFlags(int argc, char *argv[]);

/* ---- Hardware-ID tables and exclude list --------------------------------------------------- */

#define HWID_CHARS 44
struct HWID_ENTRY {
    char szHardwareId[HWID_CHARS + 1];
    DWORD ulInclude;
};
#define CHANGER_TABLE_ROWS 15
#define TAPE_TABLE_ROWS 64
extern HWID_ENTRY g_ChangerIds[CHANGER_TABLE_ROWS];
extern HWID_ENTRY g_TapeIds[TAPE_TABLE_ROWS];
void ResetHardwareIdTables(void);
int MarkDevsToExclude(INST_STREAM *pExcludeFile);

/* ---- Device work -------------------------------------------------------------------------- */

#define BUS_CHANGER 2
#define BUS_TAPE 3

/* Which Vorka devices the removal of earlier devices takes away. */
#define REMOVE_CHANGERS 0x1
#define REMOVE_TAPES 0x2
#define REMOVE_ALL (REMOVE_CHANGERS | REMOVE_TAPES)

#define KEY_VALUE_CHARS 1024
struct DEV_INFO {
    int win_ver;
    DWORD last_error;
    int Uninstaller;
    GUID guid;
    char oemfiles[KEY_VALUE_CHARS];
    char key_value[KEY_VALUE_CHARS];
    char matching_id[KEY_VALUE_CHARS];
    DWORD buf_size;
    HDEVINFO hDevInfo;
    SP_DEVINFO_DATA DevInfoData;
    int removeKinds;
};

int GetWindowsVersion(int *piCode, LOG *pLog);
int DriverSysFilesExistInCurDir(INSTALLER_OPTIONS *pOptions);
void BuildInfPath(const INSTALLER_OPTIONS *pOptions, const char *pszInfName, char *pszOut, size_t cchOut);
int CopyFilesForDebug(const char *pszSource, const char *pszDestination);
int DisableRSM(void);
int UninstallDevices(DEV_INFO *pContext);
int InstallVirtualBus(int iBus, INSTALLER_OPTIONS *pOptions);
int ScanForHardwareChanges(void);
int InstallDriver(const char *pszCurrentDir, int iKind, INSTALLER_OPTIONS *pOptions);
int DeleteSysFiles(DEV_INFO *pContext);
int DriverSysFileExists(const char *pszPath);
void RebootSystem(DWORD dwDelay);

/* ---- Registry configuration --------------------------------------------------------------- */

#define DRIVER_TYPES 18
extern const char *const g_ServiceNames[DRIVER_TYPES];

int CreateRegKey(const char *pszKeyPath, HKEY *phKey);
int SetRegKey(HKEY hKey, const char *pszValueName, DWORD dwFlag);
int QueryRegKey(HKEY hKey, const char *pszSubKey, const char *pszValueName, void *pBuffer, DWORD cbBuffer);
int SetDriverRegistryValue(int iDriverType, const char *pszValueName, DWORD dwData);
int AddRegistryValues(INSTALLER_OPTIONS *pOptions);
int SetPostInstallRegistryKeys(INSTALLER_OPTIONS *pOptions);
int DeleteRegistryKeys(DEV_INFO *pContext);

/* ---- User interface ----------------------------------------------------------------------- */

void ShowMessageBox(const char *pszText, const char *pszTitle, UINT uType);
