#pragma once
// Reading the lines of the route file, and what each field of a line is.
// Safe for any bytes.

#include <stddef.h>
#include <stdio.h>

struct Step;

inline constexpr size_t kLineSize = 256;  // one read takes at most 255 characters
inline constexpr size_t kFieldSize = 16;  // 15 characters, as in 255.255.255.255
inline constexpr int kCopiedFields = 3;   // the first fields, copied: a route's addresses
inline constexpr int kPlacedFields = 8;   // the fields whose place is kept: the most a
                                          // route has (with METRIC and IF), and one more
inline constexpr size_t kNumberSize = 6;  // the number after METRIC (1-9999) or IF (1-99999)
inline constexpr size_t kIndexSize = 11;  // an interface's index, as IF names one

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
    int count;                               // fields, every one of them
    int tooLong;                             // the first of the first three with more than
                                             // 15 characters (0 to 2), or -1
    char field[kCopiedFields][kFieldSize];   // the first three, when none is too long
    const char *rest;                        // the fourth field and what follows it, or null
    const char *text[kPlacedFields];         // where the first fields stand in the line,
    size_t length[kPlacedFields];            // whatever their length
    bool comment;                            // the line has a "#"
    bool loneCr;                             // a CR that ends no line: old Mac line ends
};

// Cuts the line at its first "#" and splits what is left into fields at runs
// of blanks, tabs, LF, VT, FF and CR; a field after an IF among the fields
// that follow the first two that begins with a double quote runs to the next
// one, blanks and all (to the line's end, if none closes it). Copies the
// first three fields into `fields` unless one of them is too long. Nothing is
// written beyond a field.
void ParseRouteLine(char *line, RouteFields &fields);

// A line of the route file by the role of each field, and the one verdict
// on it. A line of two fields or more is a destination, a mask unless the
// third field is METRIC or IF, and a gateway; after the gateway, the pairs
// METRIC n and IF i, in either order, keywords in any case, where IF names an
// interface by its index or, by a field that is not a number, by its alias
// (in double quotes when it has blanks); what follows is ignored. Every
// reader of a line reads these roles.
struct LineRoles {
    RouteFields fields;
    const Step *step;  // the record the line writes instead of its route, or null
    int about;         // the field that record is about, or -1
    bool route;        // a route to run: two fields or more, and no record
    int maskField;     // -1 without a mask
    int gatewayField;  // -1 for a line of fewer than two fields
    char destination[kFieldSize], mask[kFieldSize], gateway[kFieldSize];  // "" for none
    char metric[kNumberSize], ifIndex[kIndexSize];                      // "" for none
    const char *ifName;   // IF's alias, its quotes aside, in the line; or null
    size_t ifNameLength;
    bool ifAbsent;        // no interface has that alias now (the reader of the file says)
    const char *tail;  // the first field after the roles and what follows, ignored; or null
};

// Splits the line as ParseRouteLine does and gives each field its role. A
// field too long, a field that the route tool would read as an option (one
// that begins with "-" or "/": passed on, "-f" would clear the routing table
// and "-p" make a route persistent) and a METRIC or IF without a number in its
// range each make the line a record instead of a route.
void ReadRoles(char *line, LineRoles &roles);

// What a field of the line is: "destination", "mask" or "gateway"; a
// keyword, "METRIC" or "IF"; else "field".
const char *RoleOf(const LineRoles &roles, int index);
