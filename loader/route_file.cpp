#include "loader/route_file.h"

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

int OptionField(const RouteFields &fields)
{
    const int passed = fields.count < kRouteFields ? fields.count : kRouteFields;
    for (int i = 0; i < passed; ++i) {
        if (fields.text[i][0] == '-' || fields.text[i][0] == '/')
            return i;
    }
    return -1;
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
        while (*p != '\0' && !IsFieldSeparator(static_cast<unsigned char>(*p)))
            ++p;
        const size_t length = static_cast<size_t>(p - start);
        const int index = fields.count++;
        if (index == kRouteFields)
            fields.rest = start;
        if (index >= kRouteFields)
            continue;
        fields.text[index] = start;
        fields.length[index] = length;
        if (fields.tooLong >= 0)
            continue;
        if (length >= kFieldSize) {
            fields.tooLong = index;
            continue;
        }
        memcpy(fields.field[index], start, length);
        fields.field[index][length] = '\0';
    }
}
