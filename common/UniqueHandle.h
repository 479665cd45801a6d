// Owning wrappers for kernel handles, modules and registry keys: release on
// reset and on destruction, and the held value is the invalid one (null for
// all but file handles) right after every release, so a second release is
// harmless. Movable, so a function can hand one back.
#pragma once

#include <windows.h>

#include <type_traits>

template <typename T, auto Release, LONG_PTR InvalidValue = 0>
class UniqueResource {
public:
    static T Invalid()
    {
        if constexpr (std::is_pointer_v<T>)
            return reinterpret_cast<T>(InvalidValue);
        else
            return static_cast<T>(InvalidValue); // a handle that is a number (MSIHANDLE)
    }

    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    UniqueResource(const UniqueResource &) = delete;
    UniqueResource &operator=(const UniqueResource &) = delete;
    UniqueResource(UniqueResource &&other) noexcept : value_(other.release()) {}
    UniqueResource &operator=(UniqueResource &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Invalid(); }

    // Gives up ownership without releasing: for a handle that must outlive
    // its owner (an event a thread that cannot be stopped may still signal).
    T release()
    {
        T old = value_;
        value_ = Invalid();
        return old;
    }

    void reset(T value = Invalid())
    {
        T old = value_;
        value_ = value;
        if (old != Invalid())
            Release(old);
    }

private:
    T value_ = Invalid();
};

using UniqueHandle = UniqueResource<HANDLE, CloseHandle>;
using UniqueModule = UniqueResource<HMODULE, FreeLibrary>;
// CreateFile reports failure as INVALID_HANDLE_VALUE, not null.
using UniqueFile = UniqueResource<HANDLE, CloseHandle, -1>;
using UniqueKey = UniqueResource<HKEY, RegCloseKey>;
