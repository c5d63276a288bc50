// Formatting of the messages and names that the monitor and the setup tool
// make, with the C runtime's wide printf rules (%s takes a wide string).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cwchar>

// Formats into `buffer` of `capacity` units as StringCchPrintfW does: the
// text is always terminated, cut after capacity - 1 units when longer; false
// when it was cut or the format failed.
//
// The arguments reach the runtime's variadic _snwprintf, never an entry that
// takes a va_list (StringCchPrintfW's, _vsnwprintf): Wine's ARM64 C runtime
// is built for Linux, where a va_list is laid out differently, and a Windows
// program's va_list makes it read wild addresses. Integers and pointers, all
// these formats take, pass the same way through a variadic call on both.
template <typename... Args>
bool FormatText(wchar_t* buffer, size_t capacity, const wchar_t* format, Args... args) {
    if (buffer == nullptr || capacity == 0) return false;
    buffer[0] = L'\0';
    if (format == nullptr) return false;
    // _snwprintf leaves the text unterminated when it fills all it was given.
    const int written = _snwprintf(buffer, capacity - 1, format, args...);
    buffer[capacity - 1] = L'\0';
    return written >= 0 && static_cast<size_t>(written) < capacity;
}
