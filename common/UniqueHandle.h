// Owning wrappers for kernel handles, modules, registry keys and GDI
// objects: release on reset and on destruction, and the held value is the
// invalid one (null for all but file handles) right after every release, so
// a second release is harmless. Movable, so a function can hand one back;
// put() hands its place to a call that fills in a handle.
#pragma once

#include <windows.h>

#include <type_traits>

// NullToo: null is not a handle either, for the types whose calls fail with
// InvalidValue (INVALID_HANDLE_VALUE) and whose holder may be left at null.
template <typename T, auto Release, LONG_PTR InvalidValue = 0, bool NullToo = false>
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
    explicit operator bool() const { return Valid(value_); }

    // Releases what is held and gives the place to an out-parameter.
    T *put()
    {
        reset();
        return &value_;
    }

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
        if (Valid(old))
            Release(old);
    }

private:
    static bool Valid(T value) { return value != Invalid() && !(NullToo && value == T{}); }

    T value_ = Invalid();
};

using UniqueHandle = UniqueResource<HANDLE, CloseHandle>;
using UniqueModule = UniqueResource<HMODULE, FreeLibrary>;
// CreateFile and CreateToolhelp32Snapshot report failure as
// INVALID_HANDLE_VALUE, not null; FindFirstFile likewise.
using UniqueFile = UniqueResource<HANDLE, CloseHandle, -1, true>;
using UniqueFind = UniqueResource<HANDLE, FindClose, -1, true>;
using UniqueKey = UniqueResource<HKEY, RegCloseKey>;
using UniqueBitmap = UniqueResource<HBITMAP, DeleteObject>;
using UniqueDC = UniqueResource<HDC, DeleteDC>; // one the program made: CreateCompatibleDC
