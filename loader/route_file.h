#pragma once
// Reading and splitting the lines of the route file. Safe for any bytes.

#include <stddef.h>
#include <stdio.h>

inline constexpr size_t kLineSize = 256;   // one read takes at most 255 characters
inline constexpr size_t kFieldSize = 16;   // 15 characters, as in 255.255.255.255
inline constexpr int kRouteFields = 3;     // destination, mask, gateway
inline constexpr int kFieldTooLong = -1;

enum class RouteLine { kLine, kTooLong, kEnd };

// Reads the next line into `line`, terminated. A line with more than 255
// characters is never read in pieces: it is kTooLong, the rest of it is
// consumed, and `line` keeps its first 255 characters only if they end its
// content (hold a "#" or a NUL), otherwise nothing. kEnd at end of file or on
// a read error.
RouteLine ReadRouteLine(FILE *file, char (&line)[kLineSize]);

// Cuts the line at its first "#" and splits what is left into fields at runs
// of blanks, tabs, LF, VT, FF and CR. Copies the first three fields into
// `fields` and returns how many it found (0 to 3), or kFieldTooLong if one of
// those three has more than 15 characters. Later fields are ignored.
int ParseRouteLine(char *line, char (&fields)[kRouteFields][kFieldSize]);
