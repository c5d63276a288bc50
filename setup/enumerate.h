// The spooler's enumerations, always in two calls: one to learn the size,
// then one into a single zero-filled buffer of exactly that size.
#pragma once

#include <windows.h>

#include <vector>

struct SpoolerList {
    enum class State { NoSize, Failed, Listed };
    State state = State::NoSize;
    std::vector<BYTE> buffer;
    DWORD count = 0;  // records returned by the second call

    template <typename Record>
    const Record* Records() const {
        return reinterpret_cast<const Record*>(buffer.data());
    }
};

// `call` has the shape of the enumeration's last four parameters:
// (BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) -> BOOL.
template <typename Call>
SpoolerList EnumerateSpooler(Call call) {
    SpoolerList list;
    DWORD needed = 0;
    DWORD returned = 0;
    call(nullptr, 0, &needed, &returned);
    if (needed == 0) return list;
    list.buffer.assign(needed, 0);
    if (!call(list.buffer.data(), needed, &needed, &returned)) {
        list.state = SpoolerList::State::Failed;
        return list;
    }
    list.state = SpoolerList::State::Listed;
    list.count = returned;
    return list;
}
