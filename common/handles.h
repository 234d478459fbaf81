// Owners of Win32 handles: one small type per handle kind, the close function
// fixed in the type. Copy is deleted, move hands ownership on. Closing keeps
// the caller's last-error value, so an early return after a failed call can
// still read it.
#pragma once

#include "common/win32.h"

template <typename Traits>
class UniqueHandle {
public:
    using Value = typename Traits::Value;

    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Value value) noexcept : value(value) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    Value Get() const noexcept { return value; }
    bool IsValid() const noexcept { return value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    Value Release() noexcept
    {
        Value released = value;
        value = Traits::Invalid();
        return released;
    }

    // Closes the owned handle (if any) and takes the new one.
    void Reset(Value newValue = Traits::Invalid()) noexcept
    {
        if (value != Traits::Invalid()) {
            const DWORD savedError = ::GetLastError();
            Traits::Close(value);
            ::SetLastError(savedError);
        }
        value = newValue;
    }

private:
    Value value = Traits::Invalid();
};

// Kernel objects whose "none" is null (processes, threads, tokens).
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value handle) noexcept { ::CloseHandle(handle); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// Files, whose "none" from CreateFile is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Value handle) noexcept { ::CloseHandle(handle); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// Memory from LocalAlloc, or handed out by the system to be freed with LocalFree.
struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value memory) noexcept { ::LocalFree(memory); }
};
using LocalMemory = UniqueHandle<LocalMemoryTraits>;

// Libraries loaded with LoadLibrary.
struct LibraryTraits {
    using Value = HMODULE;
    static Value Invalid() noexcept { return nullptr; }
    static void Close(Value module) noexcept { ::FreeLibrary(module); }
};
using Library = UniqueHandle<LibraryTraits>;
