/* The Microsoft C runtime's low-level I/O names of Windows programs. */
#pragma once
#include <unistd.h>
#include "vkcrt.h"
