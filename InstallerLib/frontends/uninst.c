/* Removes the Vorka drivers, their devices, files and registry keys. */
#include "Installer.h"

int main(int argc, char *argv[])
{
    return UninstallDrivers(argc - 1, argv + 1);
}
