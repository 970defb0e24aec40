/* Installs the Vorka drivers in non-exclusive mode: the options go to the installer library as given. */
#include "Installer.h"

int main(int argc, char *argv[])
{
    return InstallDrivers(argc - 1, argv + 1, 0);
}
