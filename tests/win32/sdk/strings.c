/*
 * Strings as Windows programs use them: lstr* (with lstrcpyn's cut and terminator), wsprintf,
 * the code-page conversions, CharUpper/CharLower and the C runtime's 16-bit wide functions.
 * Built without UNICODE: the generic names are the ANSI ones.
 */
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <tchar.h>

#include "check.h"

int main(void) {
    /* Wide strings are 16-bit units: a device name has its length in characters. */
    const WCHAR* device = L"\\\\.\\Tape1";
    CHECK(sizeof(WCHAR) == 2 && sizeof(wchar_t) == 2);
    CHECK(lstrlenW(device) == 9);
    CHECK(wcslen(device) == 9);
    CHECK(lstrlenW(NULL) == 0 && lstrlenA(NULL) == 0);
    CHECK(lstrlen("Tape0") == 5); /* generic-text: lstrlenA */

    char a[16];
    CHECK(lstrcpynA(a, "Changer12345", 8) == a);
    CHECK(strcmp(a, "Changer") == 0); /* 7 characters and the terminator */
    WCHAR w[16];
    lstrcpynW(w, L"\\\\.\\Tape12", 5);
    CHECK(lstrcmpW(w, L"\\\\.\\") == 0 && w[4] == 0);
    a[0] = 'x';
    CHECK(lstrcpynA(a, "abc", 0) == a && a[0] == 'x'); /* nothing written */
    lstrcpyW(w, L"Tape");
    lstrcatW(w, L"12");
    CHECK(wcscmp(w, L"Tape12") == 0 && lstrlenW(w) == 6);
    CHECK(lstrcmpiA("TAPE0", "tape0") == 0);
    CHECK(lstrcmpiW(L"Changer0", L"CHANGER1") < 0);
    CHECK(lstrcmpA("a", "B") < 0);  /* word order, not code order */
    CHECK(lstrcmpA("a", "A") < 0);  /* equal words: lower case first */
    CHECK(lstrcmpA("abc", "abc") == 0);

    char text[64];
    CHECK(wsprintfA(text, "%s%d:%05u %x %c %ls", "\\\\.\\Tape", 3, 42u, 0xBEEFu, 'Z', L"wide") == 27);
    CHECK(strcmp(text, "\\\\.\\Tape3:00042 beef Z wide") == 0);
    CHECK(wsprintf(text, "%I64u|%-4d|%hs", (unsigned long long)1 << 40, 7, "n") == 20);
    CHECK(strcmp(text, "1099511627776|7   |n") == 0);
    WCHAR wtext[64];
    CHECK(wsprintfW(wtext, L"%s%u %S", L"\\\\.\\Tape", 1u, "narrow") == 16);
    CHECK(wcscmp(wtext, L"\\\\.\\Tape1 narrow") == 0);

    /* Code pages: sizes first, then the text; a buffer that is too small fails. */
    CHECK(MultiByteToWideChar(CP_ACP, 0, "Tape\xe9", -1, NULL, 0) == 6);
    CHECK(MultiByteToWideChar(CP_ACP, 0, "Tape\xe9", -1, w, 16) == 6 && w[4] == 0xE9 && w[5] == 0);
    CHECK(MultiByteToWideChar(CP_UTF8, 0, "\xe2\x82\xac", 3, w, 16) == 1 && w[0] == 0x20AC);
    CHECK_ERROR(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xff", 1, w, 16) == 0,
                ERROR_NO_UNICODE_TRANSLATION);
    CHECK_ERROR(MultiByteToWideChar(CP_ACP, 0, "Tape", -1, w, 2) == 0, ERROR_INSUFFICIENT_BUFFER);
    CHECK_ERROR(MultiByteToWideChar(CP_ACP, 0, "Tape", 0, w, 16) == 0, ERROR_INVALID_PARAMETER);
    BOOL usedDefault = FALSE;
    CHECK(WideCharToMultiByte(CP_ACP, 0, L"T\x20AC\x4E00", -1, text, sizeof text, NULL, &usedDefault) == 4);
    CHECK(strcmp(text, "T\x80?") == 0 && usedDefault);
    CHECK(WideCharToMultiByte(CP_UTF8, 0, L"\x20AC", 1, text, sizeof text, NULL, NULL) == 3);
    CHECK_ERROR(WideCharToMultiByte(CP_UTF8, 0, L"x", 1, text, sizeof text, "?", NULL) == 0, ERROR_INVALID_PARAMETER);

    lstrcpyA(text, "tape\xe9");
    CHECK(CharUpperA(text) == text && strcmp(text, "TAPE\xc9") == 0);
    CHECK(CharLowerW(lstrcpyW(w, L"CHANGER")) == w && wcscmp(w, L"changer") == 0);
    CHECK((ULONG_PTR)CharUpperA((LPSTR)(ULONG_PTR)'q') == 'Q'); /* one character in the low word */

    /* The C runtime's Microsoft names. */
    CHECK(_stricmp("Tape", "TAPE") == 0 && _strnicmp("Tape1", "TAPE2", 4) == 0);
    CHECK(_wcsicmp(L"Tape", L"TAPE") == 0);
    CHECK(_snprintf(text, 4, "%s", "abcd") == 4 && memcmp(text, "abcd", 4) == 0); /* fits: no terminator */
    CHECK(_snprintf(text, 4, "%s", "abcde") == -1);
    CHECK(_snprintf(text, sizeof text, "%I64d %.2f", -5ll, 1.5) == 7 && strcmp(text, "-5 1.50") == 0);
    CHECK(_snwprintf(wtext, 64, L"%s=%d", L"Tape", 2) == 6 && wcscmp(wtext, L"Tape=2") == 0);
    CHECK(swprintf(wtext, 4, L"%s", L"toolong") == -1 && wtext[3] == 0);
    CHECK(wcsstr(L"\\\\.\\Tape1", L"Tape") != NULL && wcschr(L"Tape1", L'1') != NULL);
    CHECK(wcstol(L"  42x", NULL, 10) == 42);
    WCHAR* copy = _wcsdup(L"Changer0");
    CHECK(copy && wcslen(copy) == 8);
    free(copy);
    char* narrow = _strdup("Tape0");
    CHECK(narrow && strcmp(narrow, "Tape0") == 0);
    free(narrow);
    CHECK(_tcslen(_T("Tape0")) == 5);

    printf("%d failed\n", failures);
    return failures;
}
