#pragma once
// The one place that counts and repairs UTF-8 text. Pure functions, thread-safe.
#include <cstddef>
#include <string>
#include <string_view>

namespace vexor {

// Number of UTF-16 code units the UTF-8 text would take (4-byte sequences count 2).
// Malformed bytes count one unit each, like their U+FFFD replacement.
size_t Utf16Length(std::string_view AUtf8);

// Bytes at the end of AUtf8 that start a multi-byte sequence whose rest has not arrived yet
// (0 to 3). A reader keeps them for the next chunk.
size_t Utf8IncompleteTail(std::string_view AUtf8);

// Valid UTF-8 with every malformed byte replaced by U+FFFD.
std::string Utf8Sanitize(std::string_view AUtf8);

// Utf8Sanitize's result without control characters (C0 but tab, DEL, C1): text from outside
// that goes to a terminal or a one-line-per-message log cannot start lines or escape sequences.
std::string Utf8StripControls(std::string_view AUtf8);

// Appends the UTF-8 encoding of a code point (surrogates and values past U+10FFFF give U+FFFD).
void AppendUtf8(std::string& ADest, char32_t ACodePoint);

// Prefix of AUtf8 holding at most AMaxUnits UTF-16 code units, never splitting a character.
std::string_view Utf8PrefixByUtf16Units(std::string_view AUtf8, size_t AMaxUnits);

}  // namespace vexor
