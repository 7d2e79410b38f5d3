#include "common/trace.h"

#include <atomic>
#include <cstdlib>

#include "platform/wide.h"

namespace ferox {
namespace {

std::atomic<int> g_traceLevel{0};
std::atomic<trace_test::Sink> g_traceSink{nullptr};

void Emit(int level, const WCHAR* format, std::va_list args) {
    WCHAR line[kTraceLineChars];
    FormatWV(line, kTraceLineChars, format, args);
    OutputDebugStringW(line);
    if (const auto sink = g_traceSink.load(std::memory_order_acquire))
        sink(level, line);
}

void EmitFormatted(int level, const WCHAR* format, ...) {
    std::va_list args;
    va_start(args, format);
    Emit(level, format, args);
    va_end(args);
}

}  // namespace

bool TraceEnabled(int level) noexcept {
    return level >= 1 && level <= g_traceLevel.load(std::memory_order_relaxed);
}

void Trace(int level, const WCHAR* format, ...) noexcept {
    if (!TraceEnabled(level))
        return;
    std::va_list args;
    va_start(args, format);
    Emit(level, format, args);
    va_end(args);
}

void TraceV(int level, const WCHAR* format, std::va_list args) noexcept {
    if (!TraceEnabled(level))
        return;
    Emit(level, format, args);
}

void TraceEnter(const WCHAR* name) noexcept {
    if (TraceEnabled(kTraceFlow))
        EmitFormatted(kTraceFlow, WSTR("%s Enter"), name);
}

void TraceLeave(const WCHAR* name) noexcept {
    if (TraceEnabled(kTraceFlow))
        EmitFormatted(kTraceFlow, WSTR("%s Leave"), name);
}

void TraceLeaveResult(const WCHAR* name, HRESULT result) noexcept {
    if (TraceEnabled(kTraceFlow)) {
        EmitFormatted(kTraceFlow, WSTR("%s Leave, returning %#08x"), name, result);
    }
}

void SetTraceLevel(int level) noexcept {
    g_traceLevel.store(level, std::memory_order_relaxed);
}

int TraceLevel() noexcept {
    return g_traceLevel.load(std::memory_order_relaxed);
}

int TraceInitFromEnvironment() noexcept {
    const char* value = std::getenv("FEROX_TRACE");
    int level = 0;
    if (value != nullptr && value[0] >= '1' && value[0] <= '6' && value[1] == '\0') {
        level = value[0] - '0';
    }
    SetTraceLevel(level);
    return level;
}

namespace trace_test {
void SetSink(Sink sink) noexcept {
    g_traceSink.store(sink, std::memory_order_release);
}
}  // namespace trace_test

}  // namespace ferox
