/* The C library's <string.h> and the Microsoft C runtime names of Windows programs. */
#include_next <string.h>
#include "vkcrt.h"
