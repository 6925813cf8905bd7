// Terminal columns of UTF-8 text, for tables whose cells hold Korean,
// Chinese and Japanese text and emoji (two columns each). Plain functions,
// safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The code point at `*pos` of `text`, advancing `*pos` past it. The lead
// byte decides the length (continuation bytes are not checked); a stray or
// invalid lead byte, or a sequence cut by the end of the text, yields that one
// byte's value. REQUIRES: *pos < text.size().
uint32_t utf8Next(const std::string& text, size_t* pos);

// 2 for the double-width ranges (Hangul, CJK, fullwidth forms, emoji), else 1.
int charDisplayWidth(uint32_t codePoint);

// The columns `text` takes on a terminal.
int displayWidth(const std::string& text);

// `text` fitted to exactly `width` columns where possible: text wider than
// `width` is cut after whole code points to at most width - 1 columns and
// ends in "…"; the rest is filled with blanks (before the text when
// `alignRight`). A width of 0 or less leaves the text unchanged.
std::string padToWidth(const std::string& text, int width, bool alignRight);
