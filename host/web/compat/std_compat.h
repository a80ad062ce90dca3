// What the WebAssembly build's standard library (emscripten 3.1.6's libc++ 13) lacks of the
// C++20 the sources use, given to every file of that build (-include): std::bit_cast, as the
// compiler's own built-in that later libraries implement it with.
#pragma once

#include <version>

#if !defined(__cpp_lib_bit_cast)
#include <type_traits>

namespace std {

template <class To, class From>
requires(sizeof(To) == sizeof(From) && is_trivially_copyable_v<To> &&
         is_trivially_copyable_v<From>) constexpr To bit_cast(const From& from) noexcept {
    return __builtin_bit_cast(To, from);
}

}  // namespace std
#endif
