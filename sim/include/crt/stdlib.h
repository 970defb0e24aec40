/* The C library's <stdlib.h> and the Microsoft C runtime names of Windows programs. */
#include_next <stdlib.h>
#include "vkcrt.h"
