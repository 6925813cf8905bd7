// The process-wide logger. Every component writes its lines through
// logMessage with a numeric level (1 error, 2 warning, 3 start-up report,
// 4 information, 6 notable events, 7 raw dumps and library lines, 8 per-token
// trace, 9 debug) and a printf format.
//
// The logger takes no lock: its settings are written once during start-up,
// before other server threads exist. Any thread may log at any time; pieces of
// lines of two threads may interleave on the shared stream.
#pragma once

#include <cstdio>

// Turns all output on or off.
void setLogEnabled(bool enabled);

// Sends further lines to `stream` and turns colours off for good. A null
// stream is ignored. The logger does not own the stream.
void setLogFile(FILE* stream);

// Lines with a level above `maxLevel` are dropped. The initial limit is 2.
void setLogLevel(int maxLevel);

// Writes one line: the level's colour sequence (console only), the formatted
// text, the reset sequence (console only), "\n", then flushes. Returns the
// length of the formatted text, or 0 when the line was dropped or could not
// be formatted. Never throws.
int logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// As logMessage, without the line end and without the flush: for text that
// brings its own line ends.
int logMessageRaw(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The ANSI sequence written before a line of `level` when colours are on
// (without the leading escape character).
const char* logColourSequence(int level);
