// The one wrapper around every export: nothing thrown inside crosses into
// the host, which often calls through an FFI that cannot unwind C++.
#pragma once

#include "toolkit/result_string.h"

#include <new>
#include <type_traits>

namespace talir {

template <typename Work>
auto Guarded(Work&& work) noexcept -> decltype(work()) {
    using Result = decltype(work());
    try {
        return work();
    } catch (const std::bad_alloc&) {
        if constexpr (std::is_same_v<Result, char*>) return const_cast<char*>(kOutOfMemory);
        else if constexpr (std::is_same_v<Result, const char*>) return kOutOfMemory;
        else if constexpr (!std::is_void_v<Result>) return Result{1};
    } catch (...) {
        if constexpr (std::is_same_v<Result, char*>) return const_cast<char*>(kUnexpectedFailure);
        else if constexpr (std::is_same_v<Result, const char*>) return kUnexpectedFailure;
        else if constexpr (!std::is_void_v<Result>) return Result{1};
    }
}

}  // namespace talir
