/* The C library's <malloc.h> and the Microsoft C runtime names of Windows programs. */
#include_next <malloc.h>
#include "vkcrt.h"
