// Text in code page 936 (the ANSI code page of Simplified Chinese Windows, a superset of GBK)
// and UTF-8, through glibc's iconv.
#pragma once

#include <string>

namespace kvt::release {

// UTF-8 -> code page 936. False when `utf8` is not valid UTF-8 or holds a character the code
// page has no bytes for; `bad` then names that character.
bool Utf8ToCp936(const std::string& utf8, std::string& cp936, std::string& bad);

// Code page 936 -> UTF-8 as Windows decodes it for a program: a byte pair that is no character
// becomes one "?" (a lead byte takes the byte after it along), as does a lone lead byte at the
// end.
std::string Cp936ToUtf8(const std::string& bytes);

// Whether every byte sequence is a character of the encoding.
bool IsValidUtf8(const std::string& bytes);
bool IsValidCp936(const std::string& bytes);

}  // namespace kvt::release
