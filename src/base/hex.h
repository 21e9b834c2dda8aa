// Hexadecimal text (pool messages, the verify file): input in either case, decoded pairwise with
// the first pair giving byte 0 and the high nibble first; output in lower case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvo::qel {

// The value of one hex digit, or -1.
int hex_digit_value(char c);

// Decodes exactly 2*n digits into out[0..n). Returns false (out partly written) when the text
// is not exactly 2*n characters or holds a non-hex character.
bool decode_hex_exact(std::string_view text, uint8_t* out, size_t n);

// 2*n lower-case digits of bytes[0..n).
std::string to_hex(const uint8_t* bytes, size_t n);

}  // namespace orvo::qel
