#pragma once
// The one reader of UTF-8 sequences for the texts the hosts write out (JSON
// lines, the service's log): what a well-formed sequence is, decided once.

#include <cstddef>
#include <string_view>

namespace orva::host {

struct Utf8Sequence {
    std::size_t length = 0;  // 2..4; 0: not a well-formed sequence
    char32_t code = 0;
};

// The sequence that starts at text[i], whose lead byte is 0x80 or above: no
// overlong form, no surrogate, nothing past U+10FFFF, not cut by the end.
Utf8Sequence utf8SequenceAt(std::string_view text, std::size_t i);

}  // namespace orva::host
