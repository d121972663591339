// Number-to-text forms of the values handed to the host in alarm texts.
#pragma once

#include <string>

// Nine significant digits, shortest of fixed and exponent form: 0.1f gives
// "0.100000001", 230.4f "230.399994", 56 "56".
std::string NineDigits(float v);
// The stream's default: six significant digits, 230.4f gives "230.4".
std::string SixDigits(float v);
// Instance numbers of alarm identifiers and texts: at least three digits,
// zero-filled ("001", "019", "1000").
std::string Padded3(unsigned n);
