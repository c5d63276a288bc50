// One RAII owner for every kind of Windows handle the programs open: the handle
// is closed in the block that opened it, on every path out of that block.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <utility>

template <typename Traits>
class Unique {
public:
    using Value = typename Traits::Value;

    Unique() noexcept : value_(Traits::Empty()) {}
    explicit Unique(Value value) noexcept : value_(value) {}
    ~Unique() { reset(); }

    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return Traits::IsValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // For out-parameters: closes what is held, then lends the slot.
    Value* put() noexcept {
        reset();
        return &value_;
    }

    Value release() noexcept { return std::exchange(value_, Traits::Empty()); }

    void reset(Value value = Traits::Empty()) noexcept {
        if (Traits::IsValid(value_)) Traits::Close(value_);
        value_ = value;
    }

private:
    Value value_;
};

// Kernel objects: files, events, processes, threads, tokens. Both null and
// INVALID_HANDLE_VALUE mean "nothing open", depending on the API that made it.
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void Close(Value v) noexcept { ::CloseHandle(v); }
};

struct RegKeyTraits {
    using Value = HKEY;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { ::RegCloseKey(v); }
};

struct PrinterHandleTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { ::ClosePrinter(v); }
};

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { ::CloseServiceHandle(v); }
};

struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value v) noexcept { return v != nullptr; }
    static void Close(Value v) noexcept { ::LocalFree(v); }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void Close(Value v) noexcept { ::FindClose(v); }
};

using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueKey = Unique<RegKeyTraits>;
using UniquePrinter = Unique<PrinterHandleTraits>;
using UniqueService = Unique<ServiceHandleTraits>;
using UniqueLocal = Unique<LocalMemoryTraits>;
using UniqueFind = Unique<FindHandleTraits>;
