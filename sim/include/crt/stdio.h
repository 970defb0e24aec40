/* The C library's <stdio.h> and the Microsoft C runtime names of Windows programs. */
#include_next <stdio.h>
#include "vkcrt.h"
