/*
 * Hardware IDs of the medium changers and tape drives the package supports, and the exclude list
 * that keeps the installer from binding the drivers to some of them.
 *
 * A row is the hardware ID Windows gives a SCSI changer or sequential device: the device type, the
 * 8-character vendor field and the 16-character product field, blanks written as '_' (USB tape
 * drives: a 13-character product field). A row whose first character is NUL ends a table.
 */
#include "instlib.h"

#include <ctype.h>
#include <string.h>

HWID_ENTRY g_ChangerIds[CHANGER_TABLE_ROWS] = {
    {"SCSI\\ChangerVORKA___VIRTUAL_LIBRARY_", 1},
    {"SCSI\\ChangerVORKA___VL2100__________", 1},
    {"SCSI\\ChangerVORKA___VL4100__________", 1},
    {"SCSI\\ChangerVORKA___VS3150__________", 1},
    {"SCSI\\ChangerVORKA___VS3250__________", 1},
    {"SCSI\\ChangerVORKA___VS3350__________", 1},
    {"SCSI\\ChangerVORKA___VS4350__________", 1},
    {"SCSI\\ChangerVORKA___VS4550__________", 1},
    {"SCSI\\ChangerNORDTAPEAUTOLOADER_8____", 1},
    {"SCSI\\ChangerNORDTAPELIBRARY_48______", 1},
    {"SCSI\\ChangerKESTRELDKL-120__________", 1},
    {"SCSI\\ChangerKESTRELDKL-500__________", 1},
    {"SCSI\\ChangerORBISDATORBIT_CHANGER___", 1},
    {"SCSI\\ChangerORBISDATORBIT_XL________", 1},
    {"", 0},
};

HWID_ENTRY g_TapeIds[TAPE_TABLE_ROWS] = {
    {"SCSI\\SequentialVORKA___VIRTUAL_TAPE____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-HH3_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-FH3_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-TD3_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-HH4_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-FH4_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-TD4_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-HH5_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-FH5_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-TD5_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-HH6_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-FH6_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-TD6_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-HH7_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-FH7_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-TD7_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-HH8_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-FH8_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-TD8_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-HH9_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-FH9_____", 1},
    {"SCSI\\SequentialVORKA___VORTAPE-TD9_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-TD5_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-TD6_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-TD7_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-TD8_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-TD9_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-HH5_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-HH6_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-HH7_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-HH8_____", 1},
    {"SCSI\\SequentialVORKA___STREAMR-HH9_____", 1},
    {"SCSI\\SequentialVORKA___R9000_E20_______", 1},
    {"SCSI\\SequentialVORKA___R9000_E30_______", 1},
    {"SCSI\\SequentialVORKA___R9000_E40_______", 1},
    {"SCSI\\SequentialVORKA___R9000_E50_______", 1},
    {"SCSI\\SequentialVORKA___R9000_E55_______", 1},
    {"SCSI\\SequentialVORKA___R9000_E60_______", 1},
    {"SCSI\\SequentialVORKA___R9000_E70_______", 1},
    {"SCSI\\SequentialNORDTAPENT-LTO3_________", 1},
    {"SCSI\\SequentialNORDTAPENT-LTO4_________", 1},
    {"SCSI\\SequentialNORDTAPENT-LTO5_________", 1},
    {"SCSI\\SequentialNORDTAPENT-LTO6_________", 1},
    {"SCSI\\SequentialNORDTAPENT-LTO7_________", 1},
    {"SCSI\\SequentialNORDTAPENT-LTO8_________", 1},
    {"SCSI\\SequentialNORDTAPENT-LTO9_________", 1},
    {"SCSI\\SequentialKESTRELDKD-LTO3_HH______", 1},
    {"SCSI\\SequentialKESTRELDKD-LTO4_HH______", 1},
    {"SCSI\\SequentialKESTRELDKD-LTO5_HH______", 1},
    {"SCSI\\SequentialKESTRELDKD-LTO6_HH______", 1},
    {"SCSI\\SequentialKESTRELDKD-LTO7_HH______", 1},
    {"SCSI\\SequentialKESTRELDKD-LTO8_HH______", 1},
    {"SCSI\\SequentialKESTRELDKD-LTO9_HH______", 1},
    {"SCSI\\SequentialORBISDATORBIT_LTO-5_____", 1},
    {"SCSI\\SequentialORBISDATORBIT_LTO-6_____", 1},
    {"SCSI\\SequentialORBISDATORBIT_LTO-7_____", 1},
    {"SCSI\\SequentialORBISDATORBIT_LTO-8_____", 1},
    {"SCSI\\SequentialORBISDATORBIT_LTO-9_____", 1},
    {"SCSI\\SequentialORBISDATK70000C_________", 1},
    {"SCSI\\SequentialORBISDATK70000D_________", 1},
    {"SCSI\\SequentialORBISDATK70000E_________", 1},
    {"USBSTOR\\SequentialVORKA___VORTAPE-HH8__", 1},
    {"USBSTOR\\SequentialVORKA___VORTAPE-HH9__", 1},
    {"", 0},
};

static HWID_ENTRY s_ChangerIdsAtStart[CHANGER_TABLE_ROWS];
static HWID_ENTRY s_TapeIdsAtStart[TAPE_TABLE_ROWS];
static bool s_fSaved;

void ResetHardwareIdTables(void)
{
    /* Every run starts with every row included, whatever an earlier run's exclude list marked. */
    if (!s_fSaved) {
        memcpy(s_ChangerIdsAtStart, g_ChangerIds, sizeof g_ChangerIds);
        memcpy(s_TapeIdsAtStart, g_TapeIds, sizeof g_TapeIds);
        s_fSaved = true;
    }
    memcpy(g_ChangerIds, s_ChangerIdsAtStart, sizeof g_ChangerIds);
    memcpy(g_TapeIds, s_TapeIdsAtStart, sizeof g_TapeIds);
}

/* strstr without regard to case */
static bool ContainsNoCase(const char *pszHaystack, const char *pszNeedle)
{
    size_t cchNeedle = strlen(pszNeedle);
    for (const char *p = pszHaystack;; ++p) {
        size_t i = 0;
        while (i < cchNeedle && p[i] && tolower((unsigned char)p[i]) == tolower((unsigned char)pszNeedle[i]))
            ++i;
        if (i == cchNeedle)
            return true;
        if (!*p)
            return false;
    }
}

static HWID_ENTRY *FindRow(HWID_ENTRY *pTable, const char *pszLine)
{
    for (HWID_ENTRY *pRow = pTable; pRow->szHardwareId[0]; ++pRow)
        if (ContainsNoCase(pRow->szHardwareId, pszLine))
            return pRow;
    return NULL;
}

/* A line of the exclude list holds at most this many characters; the rest of a longer line is
   dropped so that it cannot be read as lines of its own. */
#define EXCLUDE_LINE_CHARS 126

int MarkDevsToExclude(INST_STREAM *pExcludeFile)
{
    LOG_ENTER();
    char szLine[EXCLUDE_LINE_CHARS + 1];
    BOOL fTruncated = FALSE;
    while (StreamReadLine(pExcludeFile, szLine, sizeof szLine, &fTruncated)) {
        if (szLine[0] == '#')
            continue;
        if (fTruncated)
            LOGF(0, LOG_DBG, "Exclude line longer than %d characters, the rest is ignored: %s", EXCLUDE_LINE_CHARS,
                 szLine);
        if (szLine[0] == '\0')
            /* Every hardware ID contains an empty line: it excludes the first row it is held
               against. Kept as the exclude list has always worked; the log says so. */
            LOGP(LOG_ERR, "Warning: an empty line in exclude.txt excludes the first device row");
        HWID_ENTRY *pRow = FindRow(g_ChangerIds, szLine);
        if (!pRow)
            pRow = FindRow(g_TapeIds, szLine);
        if (pRow) {
            LOGP(LOG_NFO, "Will exclude: %s", pRow->szHardwareId);
            pRow->ulInclude = 0;
        }
    }
    return LOG_RETURN(1);
}
