// The text encodings in which the connection log can be saved. Qt-free: a small table of our
// own, so the same choice exists whatever the platform's converters offer.
#pragma once

#include <string>
#include <string_view>

enum class TTextEncoding { teUtf8, teLatin1, teWindows1252 };

inline constexpr TTextEncoding kTextEncodings[] = {TTextEncoding::teUtf8, TTextEncoding::teLatin1,
                                                   TTextEncoding::teWindows1252};

const char* EncodingName(TTextEncoding encoding);  // as the save dialog offers it

// Converts UTF-8 text to the encoding; a character the encoding lacks becomes "?", and so does a
// byte that is not valid UTF-8.
std::string EncodeText(std::string_view utf8, TTextEncoding encoding);
