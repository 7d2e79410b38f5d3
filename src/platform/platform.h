// The Win32 surface the system uses: the real headers on Windows, the stand-in elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>
#include <mmsystem.h>
#include <objbase.h>
#include <setupapi.h>
#define WSTR(s) L##s
#else
#include "platform/posix/win32.h"
#define WSTR(s) u##s
#endif
