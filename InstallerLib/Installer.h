/*
 * Exports of the Vorka installer library. The front ends pass their command-line options
 * without the program name: argv[0] is the first option.
 *
 * InstallDrivers   0 after a successful installation or after printing the usage text, -1 after
 *                  an error. exclusive: nonzero for the exclusive-mode front end.
 * UninstallDrivers 0 after success or usage, -1 after an error.
 *
 * Fatal argument problems (no current directory, a debug file that cannot be created, a missing
 * exclude list, -c with -t, a composed path that does not fit) end the calling process with exit
 * code 1.
 */
#pragma once

#if defined(_WIN32)
#if defined(VORKA_INSTALLER_BUILD)
#define VORKA_INSTALLER_API __declspec(dllexport)
#else
#define VORKA_INSTALLER_API __declspec(dllimport)
#endif
#else
#define VORKA_INSTALLER_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

VORKA_INSTALLER_API int InstallDrivers(int argc, char *argv[], int exclusive);
VORKA_INSTALLER_API int UninstallDrivers(int argc, char *argv[]);

#ifdef __cplusplus
}
#endif
