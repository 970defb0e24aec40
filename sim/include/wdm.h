/*
 * Windows Driver Model interface of the simulated kernel (host build).
 * Drivers include this (or ntddk.h) exactly as they would the WDK header.
 */
#pragma once

#include "vk/basetypes.h"
#include "ntstatus.h"
#include "devioctl.h"
#include "vk/list.h"
#include "vk/ke.h"
#include "vk/ex.h"
#include "vk/ob.h"
#include "vk/mm.h"
#include "vk/pnp.h"
#include "vk/io.h"
#include "vk/se.h"
#include "vk/seh.h"
#include "vk/rtl.h"
#include "vk/zw.h"
#include "vk/errlog.h"
