// Trace facility for driver sources built outside a driver image (the pass-through tests and the fuzz
// targets): every line is formatted as the driver would format it, so a message whose arguments do
// not match its format still shows under the sanitizers, and then dropped.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "debug.h"

void DbgTraceLine(ULONG ulKind, PCSTR szFile, LONG iLine, PCSTR szFormat, ...)
{
    char line[DEBUG_BUFFER_SIZE];
    int used = std::snprintf(line, sizeof line, "%s %lu %s(%ld) ", VORKA_TRACE_PREFIX, (unsigned long)ulKind,
                             szFile, (long)iLine);
    if (used < 0 || static_cast<size_t>(used) >= sizeof line) return;
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(line + used, sizeof line - used, szFormat, args);
    va_end(args);
}

PCSTR DbgBaseName(PCSTR szPath)
{
    PCSTR slash = std::strrchr(szPath, '/');
    return slash != nullptr ? slash + 1 : szPath;
}

LONG DbgGetDepth(void) { return 0; }
