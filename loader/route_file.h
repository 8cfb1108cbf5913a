#pragma once
// Reading and splitting the lines of the route file. Safe for any bytes.

#include <stddef.h>
#include <stdio.h>

inline constexpr size_t kLineSize = 256;   // one read takes at most 255 characters
inline constexpr size_t kFieldSize = 16;   // 15 characters, as in 255.255.255.255
inline constexpr int kRouteFields = 3;     // destination, mask, gateway

// How a route file begins.
enum class FileStart {
    kText,          // read as it is
    kUtf8Mark,      // a UTF-8 byte-order mark, now read past
    kUtf16,         // a UTF-16 byte-order mark (either order): not to be read as bytes
};

// Looks at the first bytes of a file just opened. Reads past a UTF-8
// byte-order mark; leaves any other start to be read as it is, except that
// of a UTF-16 file, whose every line would end at its first NUL: one with a
// byte-order mark, or one without whose first or second byte is a NUL.
FileStart ReadFileStart(FILE *file);

enum class RouteLine { kLine, kTooLong, kEnd };

// Reads the next line into `line`, terminated. A line with more than 255
// characters is never read in pieces: it is kTooLong, the rest of it is
// consumed, and `line` keeps its first 255 characters only if they end its
// content (hold a "#" or a NUL), otherwise nothing. kEnd at end of file or on
// a read error.
RouteLine ReadRouteLine(FILE *file, char (&line)[kLineSize]);

// What a line holds up to its first "#".
struct RouteFields {
    int count;                          // fields, every one of them
    int tooLong;                        // the first of the first three with more than
                                        // 15 characters (0 to 2), or -1
    char field[kRouteFields][kFieldSize];  // the first three, when none is too long
    const char *rest;                   // the fourth field and what follows it, or null
    const char *text[kRouteFields];     // where the first three stand in the line,
    size_t length[kRouteFields];        // whatever their length
    bool comment;                       // the line has a "#"
    bool loneCr;                        // a CR that ends no line: old Mac line ends
};

// The first field passed to the route tool (the first three of a line of
// three or more, the first two of a line of two) that the tool would read as
// an option, whatever its place: one that begins with "-" or "/". -1 if none.
// Passed on, "-f" would clear the routing table and "-p" make a route persistent.
int OptionField(const RouteFields &fields);

// Cuts the line at its first "#" and splits what is left into fields at runs
// of blanks, tabs, LF, VT, FF and CR. Copies the first three fields into
// `fields` unless one of them is too long. Nothing is written beyond a field.
void ParseRouteLine(char *line, RouteFields &fields);
