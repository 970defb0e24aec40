/* File system driver interface: the simulated kernel offers the ntddk.h set. */
#pragma once

#include "ntddk.h"
