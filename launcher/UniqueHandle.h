// Owning wrappers for kernel handles and modules: release on reset and on
// destruction, and the held value is null right after every release, so a
// second release is harmless.
#pragma once

#include <windows.h>

template <typename T, BOOL(WINAPI *Release)(T)>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    UniqueResource(const UniqueResource &) = delete;
    UniqueResource &operator=(const UniqueResource &) = delete;
    ~UniqueResource() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }

    void reset(T value = nullptr)
    {
        T old = value_;
        value_ = value;
        if (old != nullptr)
            Release(old);
    }

private:
    T value_ = nullptr;
};

using UniqueHandle = UniqueResource<HANDLE, CloseHandle>;
using UniqueModule = UniqueResource<HMODULE, FreeLibrary>;
