/*
 * Win32 API of simulated applications and the installer (host build). The
 * calls act for the simulated process of the calling thread.
 */
#pragma once

#include "vk/basetypes.h"
#include "winnt.h"
#include "winerror.h"
#include "winbase.h"
#include "winnls.h"
#include "winreg.h"
#include "winioctl.h"
#include "winuser.h"
#include "winsvc.h"
