#pragma once
// Code points as UTF-8.

#include <string>

namespace common::util {

// Appends the UTF-8 form of `cp` (one to four bytes) and answers true; above U+10FFFF, where
// UTF-8 has no form, appends nothing and answers false. A surrogate (U+D800..U+DFFF) gets the
// three bytes its number gives, which are not valid UTF-8: a caller that must write valid text
// refuses surrogates first, a test may want those bytes.
bool append_utf8(std::string& out, char32_t cp);

}  // namespace common::util
