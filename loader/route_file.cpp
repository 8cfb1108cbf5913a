#include "loader/route_file.h"
#include "report/report.h"

#include <string.h>

namespace {

bool IsFieldSeparator(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Consumes the rest of a line whose first part has been read.
void SkipRestOfLine(FILE *file)
{
    int c;
    do
        c = getc(file);
    while (c != '\n' && c != EOF);
}

// Whether field `index` is this word, whatever the case of its letters.
bool IsWord(const RouteFields &fields, int index, const char *word)
{
    const size_t length = strlen(word);
    if (index >= fields.count || index >= kPlacedFields || fields.length[index] != length)
        return false;
    char text[kFieldSize] = {};
    memcpy(text, fields.text[index], length < sizeof text ? length : sizeof text - 1);
    return EqualsIgnoringCase(text, word);
}

// The number of field `index`, from 1 to `highest`, as written there without a
// leading zero; false for any other field.
template <size_t N>
bool ReadNumber(const RouteFields &fields, int index, unsigned highest, char (&number)[N])
{
    if (index >= fields.count || index >= kPlacedFields || fields.length[index] >= kNumberSize ||
        fields.text[index][0] == '0')
        return false;
    unsigned value = 0;
    for (size_t k = 0; k < fields.length[index]; ++k) {
        const char digit = fields.text[index][k];
        if (digit < '0' || digit > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(digit - '0');
    }
    memcpy(number, fields.text[index], fields.length[index]);
    number[fields.length[index]] = '\0';
    return value >= 1 && value <= highest;
}

// Where the field that begins at `start` ends: at the next separator, or,
// for an interface's alias in double quotes after IF, after the closing quote
// (the line's end if none closes it).
const char *FieldEnd(const RouteFields &fields, int index, const char *start)
{
    if (*start == '"' && index >= 3 && IsWord(fields, index - 1, "IF")) {
        const char *close = strchr(start + 1, '"');
        return close != nullptr ? close + 1 : start + strlen(start);
    }
    const char *end = start;
    while (*end != '\0' && !IsFieldSeparator(static_cast<unsigned char>(*end)))
        ++end;
    return end;
}

// A field after IF that is not a number names the interface: quoted, its
// quotes closed around at least one byte, or not. Sets the line's alias.
bool ReadInterfaceName(const RouteFields &fields, int index, LineRoles &roles)
{
    if (index >= fields.count || index >= kPlacedFields)
        return false;
    const char *name = fields.text[index];
    const size_t length = fields.length[index];
    const bool quoted = name[0] == '"';
    if (quoted ? length < 3 || name[length - 1] != '"' : strspn(name, "0123456789") >= length)
        return false;
    roles.ifName = name + (quoted ? 1 : 0);
    roles.ifNameLength = quoted ? length - 2 : length;
    return true;
}

}  // namespace

FileStart ReadFileStart(FILE *file)
{
    unsigned char first[3] = {};
    size_t read = 0;
    for (int c; read < sizeof first && (c = getc(file)) != EOF; ++read)
        first[read] = static_cast<unsigned char>(c);

    if (read >= 2 && ((first[0] == 0xFF && first[1] == 0xFE) ||
                      (first[0] == 0xFE && first[1] == 0xFF) || first[0] == 0 || first[1] == 0))
        return FileStart::kUtf16;
    if (read == 3 && first[0] == 0xEF && first[1] == 0xBB && first[2] == 0xBF)
        return FileStart::kUtf8Mark;
    // More than one character cannot be pushed back; the start of a file can
    // always be returned to.
    rewind(file);
    return FileStart::kText;
}

RouteLine ReadRouteLine(FILE *file, char (&line)[kLineSize])
{
    // fgets writes a terminator into the last byte only when it fills the buffer.
    line[kLineSize - 1] = 'x';
    if (fgets(line, kLineSize, file) == nullptr)
        return RouteLine::kEnd;
    if (line[kLineSize - 1] != '\0' || line[kLineSize - 2] == '\n')
        return RouteLine::kLine;

    // The buffer is full without a line end: the line may just fit.
    const int next = getc(file);
    if (next == '\n' || next == EOF)
        return RouteLine::kLine;
    ungetc(next, file);

    SkipRestOfLine(file);
    // Without a comment or a NUL in it, what was read is no whole line's content.
    if (strlen(line) == kLineSize - 1 && strchr(line, '#') == nullptr)
        line[0] = '\0';
    return RouteLine::kTooLong;
}

void ParseRouteLine(char *line, RouteFields &fields)
{
    fields = {};
    fields.tooLong = -1;
    for (const char *cr = strchr(line, '\r'); cr != nullptr && !fields.loneCr;
         cr = strchr(cr + 1, '\r'))
        fields.loneCr = cr[1] != '\n' && cr[1] != '\0';
    if (char *comment = strchr(line, '#')) {
        *comment = '\0';
        fields.comment = true;
    }

    const char *p = line;
    for (;;) {
        while (IsFieldSeparator(static_cast<unsigned char>(*p)))
            ++p;
        if (*p == '\0')
            return;
        const char *start = p;
        const int index = fields.count++;
        p = FieldEnd(fields, index, start);
        const size_t length = static_cast<size_t>(p - start);
        if (index == kCopiedFields)
            fields.rest = start;
        if (index < kPlacedFields) {
            fields.text[index] = start;
            fields.length[index] = length;
        }
        if (index >= kCopiedFields || fields.tooLong >= 0)
            continue;
        if (length >= kFieldSize) {
            fields.tooLong = index;
            continue;
        }
        memcpy(fields.field[index], start, length);
        fields.field[index][length] = '\0';
    }
}

void ReadRoles(char *line, LineRoles &roles)
{
    ParseRouteLine(line, roles.fields);
    const RouteFields &fields = roles.fields;
    roles.step = nullptr;
    roles.about = roles.maskField = roles.gatewayField = -1;
    roles.route = false;
    roles.destination[0] = roles.mask[0] = roles.gateway[0] = '\0';
    roles.metric[0] = roles.ifIndex[0] = '\0';
    roles.ifName = nullptr;
    roles.ifNameLength = 0;
    roles.ifAbsent = false;
    roles.tail = nullptr;
    if (fields.count < 2)
        return;
    // The one place where a line is said to have a mask.
    const bool masked = fields.count >= kCopiedFields && !IsWord(fields, 2, "METRIC") &&
                        !IsWord(fields, 2, "IF");
    roles.maskField = masked ? 1 : -1;
    roles.gatewayField = masked ? 2 : 1;
    if (fields.tooLong >= 0) {
        roles.step = &kStepFieldTooLong;
        roles.about = fields.tooLong;
        return;
    }
    memcpy(roles.destination, fields.field[0], kFieldSize);
    if (masked)
        memcpy(roles.mask, fields.field[1], kFieldSize);
    memcpy(roles.gateway, fields.field[roles.gatewayField], kFieldSize);
    for (int i = 0; i <= roles.gatewayField; ++i) {
        if (fields.text[i][0] == '-' || fields.text[i][0] == '/') {
            roles.step = &kStepOptionField;
            roles.about = i;
            return;
        }
    }
    int at = roles.gatewayField + 1;
    for (;;) {
        const bool metric = roles.metric[0] == '\0' && IsWord(fields, at, "METRIC");
        const bool ifPair = roles.ifIndex[0] == '\0' && roles.ifName == nullptr &&
                            IsWord(fields, at, "IF");
        if (!metric && !ifPair)
            break;
        if (metric ? !ReadNumber(fields, at + 1, 9999, roles.metric)
                   : !ReadInterfaceName(fields, at + 1, roles) &&
                         !ReadNumber(fields, at + 1, 99999, roles.ifIndex)) {
            roles.step = &kStepNumberField;
            roles.about = at;
            roles.metric[0] = roles.ifIndex[0] = '\0';
            roles.ifName = nullptr;
            return;
        }
        at += 2;
    }
    roles.tail = at < fields.count ? fields.text[at] : nullptr;
    roles.route = true;
}

const char *RoleOf(const LineRoles &roles, int index)
{
    if (index == 0)
        return "destination";
    if (index == roles.maskField)
        return "mask";
    if (index == roles.gatewayField)
        return "gateway";
    return IsWord(roles.fields, index, "IF") ? "IF" : IsWord(roles.fields, index, "METRIC") ? "METRIC" : "field";
}
