// Texts in the CD layer's fixed-size record fields (drive names, CDDB
// artists and titles) and in the texts a CDDB server sends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text as UTF-8: Text itself when it is valid UTF-8, else Text read as
// Latin-1 (what servers and drives that predate UTF-8 send).
std::string Utf8OrLatin1(std::string_view Text);

// The length of the longest prefix of Utf8 that fits in Max bytes without
// cutting a character in two (Utf8 is taken to be valid UTF-8).
size_t Utf8PrefixLength(std::string_view Utf8, size_t Max);

// Stores Text (made UTF-8 as above) in a field of Size bytes: as many whole
// characters as fit before the zero that always ends it; the rest of the
// field is zeroed. Nothing is stored when Size is 0.
void SetCdField(char* Field, size_t Size, std::string_view Text);

// The text of a field of Size bytes: up to its first zero, or all Size bytes
// when it has none; as UTF-8 (Latin-1 when it is not UTF-8).
std::string CdFieldText(const char* Field, size_t Size);
