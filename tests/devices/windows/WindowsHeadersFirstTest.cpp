// The Windows headers before the device interface, as in a file that needs
// both (the entry point): the interface must still compile, and behind it the
// names mean the Windows macros again.
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#include "devices/DeviceService.h"

static_assert(REG_SZ == 1L);
static_assert(CR_SUCCESS == 0);
static_assert(DN_HAS_PROBLEM == 0x400);

#ifndef REG_SZ
#error "the device interface left REG_SZ undefined"
#endif
