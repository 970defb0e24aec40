/*
 * Path helpers of the shell light-weight API (shlwapi) that the installer uses.
 */
#pragma once

#include "vk/basetypes.h"

VK_BEGIN_C

BOOL WINAPI PathFileExistsA(LPCSTR pszPath);
BOOL WINAPI PathFileExistsW(LPCWSTR pszPath);

VK_END_C

#ifdef UNICODE
#define PathFileExists PathFileExistsW
#else
#define PathFileExists PathFileExistsA
#endif
