// The debug trace of the kernel-streaming client: formatted lines to OutputDebugStringW when
// their level is at or below a process-wide threshold, which starts at 0 (nothing is emitted).
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/platform.h"

namespace ferox {

// Levels of the trace.
inline constexpr int kTraceError = 1;     // an operation ends or an object is dropped
inline constexpr int kTraceProperty = 3;  // a pin property cannot be read while describing a pin
inline constexpr int kTraceSearch = 4;    // a search or enumeration ends without a result
inline constexpr int kTraceNotice = 5;    // notices on the normal path
inline constexpr int kTraceFlow = 6;      // entry and exit of every operation

// A line holds at most this many characters with its NUL; longer output is cut.
inline constexpr std::size_t kTraceLineChars = 260;

void Trace(int level, const WCHAR* format, ...) noexcept;
void TraceV(int level, const WCHAR* format, std::va_list args) noexcept;

// Whether a line of this level would be emitted now.
bool TraceEnabled(int level) noexcept;

// Level-6 lines: "<name> Enter", "<name> Leave" (name with "()"), and
// "<name> Leave, returning 0x........" (bare name).
void TraceEnter(const WCHAR* name) noexcept;
void TraceLeave(const WCHAR* name) noexcept;
void TraceLeaveResult(const WCHAR* name, HRESULT result) noexcept;

void SetTraceLevel(int level) noexcept;
int TraceLevel() noexcept;

// Sets the threshold from the environment variable FEROX_TRACE ("1" to "6"); any other value,
// or none, sets 0. Returns the threshold set. Called once when the DLL loads.
int TraceInitFromEnvironment() noexcept;

namespace trace_test {
// Receives every emitted line as well (OutputDebugStringW cannot be read back under Wine).
// Null removes the sink.
using Sink = void (*)(int level, const WCHAR* line);
void SetSink(Sink sink) noexcept;
}  // namespace trace_test

}  // namespace ferox
