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

int ParseRouteLine(char *line, char (&fields)[kRouteFields][kFieldSize])
{
    if (char *comment = strchr(line, '#'))
        *comment = '\0';

    int count = 0;
    const char *p = line;
    while (count < kRouteFields) {
        while (IsFieldSeparator(static_cast<unsigned char>(*p)))
            ++p;
        if (*p == '\0')
            break;
        const char *start = p;
        while (*p != '\0' && !IsFieldSeparator(static_cast<unsigned char>(*p)))
            ++p;
        const size_t length = static_cast<size_t>(p - start);
        if (length >= kFieldSize)
            return kFieldTooLong;
        memcpy(fields[count], start, length);
        fields[count][length] = '\0';
        ++count;
    }
    return count;
}
