// The DLL's diagnostic entry point, which `feroxhost doctor` calls: the device checks run inside
// the driver, through its own KS client and device (the simulated-DAC DLL answers from its
// simulator). Not part of ASIO or COM; hosts never call it.
#pragma once

#include "platform/platform.h"

// Receives the report (UTF-8 JSON, `length` bytes, terminated) once, before FeroxDiagnose returns.
using FeroxReportSink = void(WINAPI*)(void* context, const char* json, DWORD length);

// Streams silence for `streamMs` in PCM and again in DSD64 (0: no streams). S_OK once the sink
// had the report; E_POINTER without a sink; E_OUTOFMEMORY when the report could not be made.
extern "C" HRESULT WINAPI FeroxDiagnose(DWORD streamMs, FeroxReportSink sink, void* context);
