/*
 * The installer's in-memory log: every step writes entries with a level; the console shows them by
 * verbose level and the debug file receives all of them. Also the small file streams the debug
 * file and the exclude list use, and the fatal exit of argument problems.
 */
#include "instlib.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static const char *const s_LevelPrefix[] = {"ERR:", "NFO:", "DBG:", "SUC:", "ENT:", "EXT:"};

static LOG *s_pLog;

LOG *GetLog(void)
{
    /* Created at process attach; a host that loads the library without attach gets it here. */
    if (!s_pLog)
        s_pLog = (LOG *)calloc(1, sizeof(LOG));
    return s_pLog;
}

void FreeLog(void)
{
    if (!s_pLog)
        return;
    LOG_ENTRY *pEntry = s_pLog->pFirst;
    while (pEntry) {
        LOG_ENTRY *pNext = pEntry->pNext;
        free(pEntry);
        pEntry = pNext;
    }
    free(s_pLog);
    s_pLog = NULL;
}

/* Copies at most cchMax characters and always terminates. */
static void CopyBounded(char *pszOut, size_t cchMax, const char *pszIn)
{
    size_t cch = pszIn ? strlen(pszIn) : 0;
    if (cch > cchMax)
        cch = cchMax;
    if (cch)
        memcpy(pszOut, pszIn, cch);
    pszOut[cch] = '\0';
}

void LogMessage(LOG *pLog, DWORD dwError, int iLevel, int iLine, const char *pszFunction, const char *pszFile,
                const char *pszMessage)
{
    if (!pLog)
        return;
    LOG_ENTRY *pEntry = (LOG_ENTRY *)calloc(1, sizeof(LOG_ENTRY));
    if (!pEntry)
        return;
    if (iLevel < LOG_ERR || iLevel > LOG_EXT)
        iLevel = LOG_ERR;
    pEntry->iLevel = iLevel;
    pEntry->iLine = iLine;
    pEntry->pszPrefix = s_LevelPrefix[iLevel];
    /* Only the file's own name: the build directory says nothing to the reader of a log. */
    const char *pszBase = pszFile ? pszFile : "";
    for (const char *p = pszBase; *p; ++p)
        if (*p == '/' || *p == '\\')
            pszBase = p + 1;
    CopyBounded(pEntry->szFunction, LOG_FUNCTION_CHARS, pszFunction);
    CopyBounded(pEntry->szFile, LOG_FILE_CHARS, pszBase);

    if (dwError != 0 || !pszMessage || !*pszMessage) {
        DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), pEntry->szMessage,
                                   LOG_MESSAGE_CHARS, NULL);
        if (cch == 0)
            snprintf(pEntry->szMessage, sizeof pEntry->szMessage, "Returned error: %X", (unsigned)dwError);
        else {
            /* The system texts end in a line end; ours gets added below. */
            size_t n = strlen(pEntry->szMessage);
            while (n && (pEntry->szMessage[n - 1] == '\n' || pEntry->szMessage[n - 1] == '\r'))
                pEntry->szMessage[--n] = '\0';
        }
    } else {
        CopyBounded(pEntry->szMessage, LOG_MESSAGE_CHARS, pszMessage);
    }
    size_t cchMessage = strlen(pEntry->szMessage);
    if (cchMessage < LOG_MESSAGE_CHARS) {
        pEntry->szMessage[cchMessage] = '\n';
        pEntry->szMessage[cchMessage + 1] = '\0';
    }

    if (pLog->pLast)
        pLog->pLast->pNext = pEntry;
    else
        pLog->pFirst = pEntry;
    pLog->pLast = pEntry;
}

void LogFormat(LOG *pLog, DWORD dwError, int iLevel, int iLine, const char *pszFunction, const char *pszFile,
               const char *pszFormat, ...)
{
    char szMessage[LOG_MESSAGE_CHARS + 1];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szMessage, sizeof szMessage, pszFormat, args);
    va_end(args);
    LogMessage(pLog, dwError, iLevel, iLine, pszFunction, pszFile, szMessage);
}

static void PrintFull(FILE *pOut, const LOG_ENTRY *pEntry)
{
    fprintf(pOut, "%s %s(%i) : %s-> %s", pEntry->pszPrefix, pEntry->szFile, pEntry->iLine, pEntry->szFunction,
            pEntry->szMessage);
}

void PrintLastMessage(LOG *pLog)
{
    if (!pLog || !pLog->pLast)
        return;
    const LOG_ENTRY *pEntry = pLog->pLast;
    if (pEntry->iLevel == LOG_ERR)
        fprintf(stderr, "%s(%i) : %s-> %s", pEntry->szFile, pEntry->iLine, pEntry->szFunction, pEntry->szMessage);
    else
        fputs(pEntry->szMessage, stdout);
    fflush(stdout);
}

void DumpLog(LOG *pLog, int iMode, INST_STREAM *pStream)
{
    if (!pLog)
        return;
    for (const LOG_ENTRY *pEntry = pLog->pFirst; pEntry; pEntry = pEntry->pNext) {
        switch (iMode) {
        case 0:
            if (pEntry->iLevel == LOG_SUC)
                fputs(pEntry->szMessage, stdout);
            break;
        case 1:
            if (pEntry->iLevel == LOG_NFO || pEntry->iLevel == LOG_SUC)
                fputs(pEntry->szMessage, stdout);
            break;
        default:
            PrintFull(pEntry->iLevel == LOG_ERR ? stderr : stdout, pEntry);
            break;
        }
        if (pStream) {
            char szLine[LOG_MESSAGE_CHARS + LOG_FILE_CHARS + LOG_FUNCTION_CHARS + 64];
            snprintf(szLine, sizeof szLine, "%s %s(%i) : %s-> %s", pEntry->pszPrefix, pEntry->szFile, pEntry->iLine,
                     pEntry->szFunction, pEntry->szMessage);
            StreamWrite(pStream, szLine);
        }
    }
    fflush(stdout);
    fflush(stderr);
}

int GetTime(int fStop, LOG *pLog)
{
    time_t now = time(NULL);
    struct tm local;
#if defined(_WIN32)
    if (now == (time_t)-1 || localtime_s(&local, &now) != 0)
        return 0;
#else
    if (now == (time_t)-1 || !localtime_r(&now, &local))
        return 0;
#endif
    /* asctime's form, "Wed Jan  2 02:03:55 1980", without its line feed (the log adds one). */
    static const char s_Days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char s_Months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11)
        return 0;
    char szTime[64];
    snprintf(szTime, sizeof szTime, "%s %s %2d %02d:%02d:%02d %d", s_Days[local.tm_wday], s_Months[local.tm_mon],
             local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
    LogFormat(pLog, 0, LOG_NFO, __LINE__, __func__, __FILE__, fStop ? "Stop time: %s" : "Start time: %s", szTime);
    return 1;
}

/* ---- Streams ------------------------------------------------------------------------------- */

static INST_STREAM *s_pOpenStreams;

INST_STREAM *StreamOpen(const char *pszPath, BOOL fWrite)
{
    HANDLE hFile = CreateFileA(pszPath, fWrite ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, NULL,
                               fWrite ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return NULL;
    INST_STREAM *pStream = (INST_STREAM *)calloc(1, sizeof(INST_STREAM));
    if (!pStream) {
        CloseHandle(hFile);
        return NULL;
    }
    pStream->hFile = hFile;
    pStream->pNextOpen = s_pOpenStreams;
    s_pOpenStreams = pStream;
    return pStream;
}

void StreamClose(INST_STREAM *pStream)
{
    if (!pStream)
        return;
    for (INST_STREAM **pp = &s_pOpenStreams; *pp; pp = &(*pp)->pNextOpen)
        if (*pp == pStream) {
            *pp = pStream->pNextOpen;
            break;
        }
    CloseHandle(pStream->hFile);
    free(pStream);
}

void CloseAllStreams(void)
{
    while (s_pOpenStreams)
        StreamClose(s_pOpenStreams);
}

void StreamWrite(INST_STREAM *pStream, const char *pszText)
{
    if (!pStream)
        return;
    /* Text mode: line feeds become CR LF as a C stream on Windows writes them. */
    char achOut[512];
    DWORD cbOut = 0;
    for (const char *p = pszText;; ++p) {
        if (*p == '\0' || cbOut + 2 > sizeof achOut) {
            DWORD cbWritten = 0;
            if (cbOut)
                WriteFile(pStream->hFile, achOut, cbOut, &cbWritten, NULL);
            cbOut = 0;
            if (*p == '\0')
                break;
        }
        if (*p == '\n')
            achOut[cbOut++] = '\r';
        achOut[cbOut++] = *p;
    }
}

static int StreamGetChar(INST_STREAM *pStream)
{
    if (pStream->iPos == pStream->cbBuf) {
        if (pStream->fEof)
            return -1;
        DWORD cbRead = 0;
        if (!ReadFile(pStream->hFile, pStream->achBuf, sizeof pStream->achBuf, &cbRead, NULL) || cbRead == 0) {
            pStream->fEof = TRUE;
            return -1;
        }
        pStream->cbBuf = cbRead;
        pStream->iPos = 0;
    }
    return (unsigned char)pStream->achBuf[pStream->iPos++];
}

BOOL StreamReadLine(INST_STREAM *pStream, char *pszLine, size_t cchMax, BOOL *pfTruncated)
{
    size_t cch = 0;
    BOOL fAny = FALSE;
    BOOL fTruncated = FALSE;
    for (;;) {
        int ch = StreamGetChar(pStream);
        if (ch < 0)
            break;
        fAny = TRUE;
        if (ch == '\n')
            break;
        if (cch + 1 < cchMax)
            pszLine[cch++] = (char)ch;
        else
            fTruncated = TRUE; /* the rest of an over-long line is dropped, not read as lines */
    }
    if (cch && pszLine[cch - 1] == '\r' && !fTruncated)
        --cch;
    pszLine[cch] = '\0';
    if (pfTruncated)
        *pfTruncated = fTruncated;
    return fAny;
}

/* ---- Fatal exits --------------------------------------------------------------------------- */

void FatalExit(const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    vfprintf(stderr, pszFormat, args);
    va_end(args);
    fflush(stderr);
    fflush(stdout);
    FreeLog();
    CloseAllStreams();
    ExitProcess(1);
#if defined(__GNUC__)
    __builtin_unreachable();
#endif
}

void ComposePath(char *pszOut, size_t cchOut, const char *pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    int cch = vsnprintf(pszOut, cchOut, pszFormat, args);
    va_end(args);
    if (cch < 0 || (size_t)cch >= cchOut) {
        char szWhole[2 * CURRENT_DIR_CHARS];
        va_start(args, pszFormat);
        vsnprintf(szWhole, sizeof szWhole, pszFormat, args);
        va_end(args);
        FatalExit("Path is too long (more than %u characters): %s\n\nPlease run the installer from a shorter "
                  "directory path\n",
                  (unsigned)(cchOut - 1), szWhole);
    }
}
