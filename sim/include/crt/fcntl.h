/* The C library's <fcntl.h> and the Microsoft C runtime names of Windows programs. */
#include_next <fcntl.h>
#include "vkcrt.h"
