// Shared by the stand-in's sources only: the handle table and small wide-string helpers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/posix/win32.h"

namespace ferox::posix::detail {

// Anything a handle can refer to. Waitable state lives in the kernel part and is guarded by its
// one mutex.
struct Object {
    enum class Kind { Event, Thread, Key };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

// A new handle for the object: a multiple of 4, never null, never INVALID_HANDLE_VALUE.
// Null when the table cannot grow.
HANDLE InsertHandle(std::shared_ptr<Object> object);
// The object behind a handle (its two low tag bits ignored, as Windows does), or null.
std::shared_ptr<Object> LookupHandle(HANDLE handle);
// Removes the handle; false when it was not open.
bool RemoveHandle(HANDLE handle);

// Signals an event object as SetEvent does, whether or not a handle still names it.
void SignalEvent(const std::shared_ptr<Object>& event);

// Case folding as the registry and the loader compare names: ASCII and Latin-1 letters.
WCHAR FoldChar(WCHAR c);
std::u16string Fold(std::u16string_view text);
std::u16string_view View(LPCWSTR text);  // empty for null

}  // namespace ferox::posix::detail
