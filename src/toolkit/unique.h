// Owners for Windows resources. Releasing keeps the thread's last-error code,
// so an error text can still be taken after a cleanup has run.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace talir {

template <typename T, auto Release>
class Unique {
public:
    Unique() noexcept = default;
    explicit Unique(T value) noexcept : value_(value) {}
    Unique(Unique&& other) noexcept : value_(std::exchange(other.value_, T{})) {}
    Unique& operator=(Unique&& other) noexcept {
        reset(std::exchange(other.value_, T{}));
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != T{}; }
    T release() noexcept { return std::exchange(value_, T{}); }

    void reset(T value = T{}) noexcept {
        if (value_ != T{}) {
            const DWORD lastError = GetLastError();
            Release(value_);
            SetLastError(lastError);
        }
        value_ = value;
    }

    // For out-parameters: releases what is held and hands out the slot.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_{};
};

using UniqueHandle = Unique<HANDLE, &CloseHandle>;
using UniqueKey = Unique<HKEY, &RegCloseKey>;
using UniqueBstr = Unique<BSTR, &SysFreeString>;
using UniqueLocal = Unique<HLOCAL, &LocalFree>;
using UniqueGlobal = Unique<HGLOBAL, &GlobalFree>;

// CreateFile reports failure as INVALID_HANDLE_VALUE, the other calls as null.
inline HANDLE ValidOrNull(HANDLE handle) noexcept {
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

struct FreeDeleter {
    void operator()(void* block) const noexcept { std::free(block); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

}  // namespace talir
