#pragma once

// The reversible form in which the three credentials are kept in the settings file: each
// Windows-1250 byte of the text, its two 4-bit halves swapped, as two hexadecimal digits. It only
// keeps the password from being read at a glance; it is no protection.

#include <QString>

// "abc" -> "162636", "č" -> "8E", "" -> "". Characters that Windows-1250 cannot hold come out as
// the byte 1A; the credential edits do not accept them, so they do not reach this in practice.
QString EncodeSettingValue(const QString &text);

// Never fails: upper and lower case digits are both read, any other character counts as 0, a
// single character left at the end is ignored, and the text ends at the first zero byte.
QString DecodeSettingValue(const QString &stored);
