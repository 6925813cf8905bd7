// Text from the server made safe to print on a terminal. Any client of the
// server can set an instance name (relayed clients too), and a reply that
// is not JSON can hold anything: their escape bytes would clear the screen,
// set the window title or recolour the terminal. Plain functions, safe from
// any thread.
#pragma once

#include <string>

// `text` with every control character shown as a visible escape: "\n", "\r"
// and "\t" as those two characters, other C0 bytes and DEL as "\xNN", C1
// controls (U+0080..U+009F) as "\u00NN", and bytes that are not UTF-8 as
// "\xNN"; a backslash stays as it is. With `keepLineBreaks`, "\n" passes
// unchanged (multi-line messages keep their lines). Printable UTF-8 text is
// unchanged.
std::string visibleText(const std::string& text, bool keepLineBreaks = false);
