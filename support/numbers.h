// Number and IPv4 text parsing.
#pragma once

#include <cstdint>
#include <string_view>

// Decimal text to an unsigned 32-bit number: optional blanks, digits, nothing after them.
// 0 on success (the value in `out`), -1 otherwise (`out` untouched).
int str_touint32_err(std::string_view text, uint32_t *out);
// The same, giving 0 for text that does not convert.
uint32_t str_touint32(std::string_view text);
// Signed 32-bit conversion; 0 for text that does not convert.
int32_t str_toint32(std::string_view text);
// Non-zero for a dotted quad of four decimal numbers 0..255.
int fr_valid_ipv4(std::string_view text);
// Non-zero for a dotted quad, optionally followed by "/" and a prefix length 0..32.
int fr_valid_ipv4_cidr(std::string_view text);
