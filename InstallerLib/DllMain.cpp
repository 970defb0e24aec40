/*
 * Library entry: the log lives from load to unload and collects the entries of every call.
 */
#include "instlib.h"

#include <stdio.h>

#ifndef DLL_PROCESS_ATTACH
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    (void)hInstance;
    (void)pReserved;
    switch (dwReason) {
    case DLL_PROCESS_ATTACH:
        return GetLog() != NULL;
    case DLL_PROCESS_DETACH:
        FreeLog();
        CloseAllStreams();
        fflush(stdout);
        fflush(stderr);
        break;
    default:
        break;
    }
    return TRUE;
}
