// joined_text.h: texts joined at compile time, for names made of other
// names (a type's full name from its module's, a traceback entry's function
// name from the module's), so that each part is written once.
#pragma once

#include <cstddef>           // std::size_t
#include <initializer_list>

namespace quill {

constexpr std::size_t joined_length(std::initializer_list<const char *> parts) noexcept {
    std::size_t n = 0;
    for (const char *p : parts) {
        while (*p++)
            ++n;
    }
    return n;
}

// N characters and a terminating NUL; a namespace-scope constexpr JoinedText
// is static storage, so `text` may be kept as a plain C string.
template <std::size_t N>
struct JoinedText {
    char text[N + 1] = {};
    constexpr explicit JoinedText(std::initializer_list<const char *> parts) noexcept {
        std::size_t at = 0;
        for (const char *p : parts) {
            while (*p)
                text[at++] = *p++;
        }
    }
};

}  // namespace quill

// The parts (C strings known at compile time) joined: QUILL_JOIN("init ", name).text
#define QUILL_JOIN(...) ::quill::JoinedText<::quill::joined_length({__VA_ARGS__})>({__VA_ARGS__})
