/* NT driver interface: everything of wdm.h; the NT-only additions drivers use live there too. */
#pragma once

#include "wdm.h"
