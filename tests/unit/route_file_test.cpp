// Reading and splitting route file lines.

#include "loader/route_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int count;
    std::vector<std::string> fields;
    std::string rest;  // "<none>" without a fourth field
    int tooLong;
};

Parsed Parse(std::string text)
{
    char line[kLineSize] = {};
    text.copy(line, kLineSize - 1);
    RouteFields fields;
    memset(&fields, '@', sizeof fields);
    ParseRouteLine(line, fields);
    Parsed parsed{fields.count, {}, fields.rest ? fields.rest : "<none>", fields.tooLong};
    for (int i = 0; i < std::min(fields.count, kCopiedFields) && fields.tooLong < 0; ++i)
        parsed.fields.emplace_back(fields.field[i]);
    return parsed;
}

// Every line ReadRouteLine gives for `content`: the text, after "<too long>"
// for a line longer than the buffer.
std::vector<std::string> ReadAll(const std::string &content)
{
    FILE *file = fmemopen(const_cast<char *>(content.data()), content.size(), "r");
    std::vector<std::string> lines;
    char line[kLineSize];
    for (;;) {
        const RouteLine read = ReadRouteLine(file, line);
        if (read == RouteLine::kEnd)
            break;
        lines.push_back((read == RouteLine::kTooLong ? "<too long>" : "") + std::string(line));
    }
    fclose(file);
    return lines;
}

TEST(ParseRouteLine, SplitsAtAnyRunOfWhiteSpaceAndKeepsThreeFieldsAtMost)
{
    const struct {
        const char *line;
        int count;
        std::vector<std::string> fields;
        const char *rest;
    } cases[] = {
        {"10.0.0.0 255.0.0.0 192.168.1.254\n", 3, {"10.0.0.0", "255.0.0.0", "192.168.1.254"},
         "<none>"},
        {"\t10.2.0.0\t\t10.1.1.1\t\n", 2, {"10.2.0.0", "10.1.1.1"}, "<none>"},
        {"a\vb\fc\r\n", 3, {"a", "b", "c"}, "<none>"},
        {"1.1.1.1 2.2.2.2 3.3.3.3 4.4.4.4  METRIC 5\n", 6, {"1.1.1.1", "2.2.2.2", "3.3.3.3"},
         "4.4.4.4  METRIC 5\n"},
        {"10.1.0.0 10.0.0.1#comment\n", 2, {"10.1.0.0", "10.0.0.1"}, "<none>"},
        {"1.1.1.1 2.2.2.2 3.3.3.3 #4.4.4.4\n", 3, {"1.1.1.1", "2.2.2.2", "3.3.3.3"}, "<none>"},
        {"10.3.0.0\n", 1, {"10.3.0.0"}, "<none>"},
        {"# 10.0.0.0 10.0.0.1\n", 0, {}, "<none>"},
        {"   \t  \n", 0, {}, "<none>"},
        {"", 0, {}, "<none>"},
        // Other control bytes and bytes from 0x80 belong to a field.
        {"\x01\x1f\x7f \xff\x80", 2, {"\x01\x1f\x7f", "\xff\x80"}, "<none>"},
    };
    for (const auto &c : cases) {
        const Parsed parsed = Parse(c.line);
        EXPECT_EQ(parsed.count, c.count) << "line: " << c.line;
        EXPECT_EQ(parsed.fields, c.fields) << "line: " << c.line;
        EXPECT_EQ(parsed.rest, c.rest) << "line: " << c.line;
        EXPECT_EQ(parsed.tooLong, -1) << "line: " << c.line;
    }
}

TEST(ParseRouteLine, NamesTheFirstOfTheFirstThreeFieldsThatDoesNotFit)
{
    const std::string x16(16, 'x');
    const struct {
        std::string line;
        int count, tooLong;
    } cases[] = {
        {"255.255.255.255 255.255.255.255 255.255.255.255", 3, -1},
        {"1234567890123456 10.0.0.1", 2, 0},
        {"10.0.0.0 1234567890123456", 2, 1},
        {"10.0.0.0 255.255.255.0 1234567890123456", 3, 2},
        {x16 + " " + x16 + " 10.0.0.1 more", 4, 0},
        // A long fourth field is ignored like any further field; so is a long comment.
        {"10.0.0.0 255.0.0.0 10.0.0.1 " + std::string(200, 'x'), 4, -1},
        {"10.0.0.0 10.0.0.1 #" + std::string(200, 'x'), 2, -1},
    };
    for (const auto &c : cases) {
        const Parsed parsed = Parse(c.line);
        EXPECT_EQ(parsed.count, c.count) << "line: " << c.line;
        EXPECT_EQ(parsed.tooLong, c.tooLong) << "line: " << c.line;
    }
}

TEST(ParseRouteLine, NeverWritesBeyondAField)
{
    char line[kLineSize];
    memset(line, 'A', sizeof line - 1);
    line[kLineSize - 1] = '\0';
    struct {
        RouteFields fields;
        char guard[8];
    } out;
    memset(&out, '@', sizeof out);
    ParseRouteLine(line, out.fields);
    EXPECT_EQ(out.fields.tooLong, 0);
    EXPECT_EQ(std::string(out.guard, sizeof out.guard), std::string(8, '@'));
}

// What a file's first bytes make of it: a UTF-16 mark in either order is
// refused, a UTF-8 mark is read past, and anything else is read from its
// first byte.
TEST(ReadFileStart, RefusesUtf16SkipsAUtf8MarkAndLeavesEverythingElse)
{
    const struct {
        const char *what;
        std::string content;
        FileStart start;
        const char *first;  // the first line read after it, or null for none
    } cases[] = {
        {"UTF-16, little-endian", std::string("\xFF\xFE" "1\0" "0\0", 6), FileStart::kUtf16,
         nullptr},
        {"UTF-16, big-endian", std::string("\xFE\xFF\0" "1\0" "0", 6), FileStart::kUtf16,
         nullptr},
        {"UTF-8 mark", "\xEF\xBB\xBF" "10.1.0.0 10.0.0.1\n", FileStart::kUtf8Mark,
         "10.1.0.0 10.0.0.1\n"},
        {"UTF-8 mark and nothing else", "\xEF\xBB\xBF", FileStart::kUtf8Mark, nullptr},
        {"a mark's first two bytes only", "\xEF\xBB" "10.1.0.0 10.0.0.1\n", FileStart::kText,
         "\xEF\xBB" "10.1.0.0 10.0.0.1\n"},
        {"a UTF-8 mark further on", "1\xEF\xBB\xBF\n", FileStart::kText, "1\xEF\xBB\xBF\n"},
        {"no mark", "10.1.0.0 10.0.0.1\n", FileStart::kText, "10.1.0.0 10.0.0.1\n"},
        {"one byte", "\xFF", FileStart::kText, "\xFF"},
        {"empty", "", FileStart::kText, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FILE *file = fmemopen(const_cast<char *>(c.content.data()), c.content.size(), "r");
        if (c.content.empty())
            file = fopen("/dev/null", "r");
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(ReadFileStart(file), c.start);
        if (c.start != FileStart::kUtf16) {
            char line[kLineSize];
            const bool read = ReadRouteLine(file, line) == RouteLine::kLine;
            EXPECT_EQ(read ? std::string(line) : "<end>", c.first ? c.first : "<end>");
        }
        fclose(file);
    }
}

TEST(ReadRouteLine, ReadsLinesWithAndWithoutALastLineEnd)
{
    EXPECT_EQ(ReadAll("a b\nc d\n"), (std::vector<std::string>{"a b\n", "c d\n"}));
    EXPECT_EQ(ReadAll("a b\nc d"), (std::vector<std::string>{"a b\n", "c d"}));
    EXPECT_EQ(ReadAll(""), std::vector<std::string>{});
    // A NUL ends what is looked at of its line, not the line.
    EXPECT_EQ(ReadAll(std::string("a b\0c d\ne f\n", 12)),
              (std::vector<std::string>{"a b", "e f\n"}));
}

TEST(ReadRouteLine, ALineOfExactlyTheBufferIsReadWhole)
{
    const std::string full(kLineSize - 1, 'x');
    EXPECT_EQ(ReadAll(full + "\nnext\n"), (std::vector<std::string>{full, "next\n"}));
    EXPECT_EQ(ReadAll(full), std::vector<std::string>{full});
    const std::string withEnd(kLineSize - 2, 'y');
    EXPECT_EQ(ReadAll(withEnd + "\nnext\n"), (std::vector<std::string>{withEnd + "\n", "next\n"}));
}

TEST(ReadRouteLine, ALongLineIsOneLineKeptOnlyUpToACommentOrNulInItsFirstPart)
{
    const std::string route = " 10.9.9.0 10.9.9.1\n";
    const std::string comment = "10.0.0.0 10.0.0.1 #" + std::string(260, 'c');
    const std::string nul = std::string("10.0.0.0 10.0.0.2\0", 18) + std::string(260, 'n');
    std::string loneCr;
    for (int i = 0; i < 20; ++i)
        loneCr += "10.0." + std::to_string(i) + ".0 10.1.1.1\r";
    const struct {
        const char *what;
        std::string content;
        std::vector<std::string> lines;
    } cases[] = {
        {"no comment: nothing kept", "10.0.0.0 " + std::string(260, 'f') + route + "next\n",
         {"<too long>", "next\n"}},
        {"a comment: its first part kept", comment + route + "next\n",
         {"<too long>" + comment.substr(0, kLineSize - 1), "next\n"}},
        {"a NUL: the part before it kept", nul + route, {"<too long>10.0.0.0 10.0.0.2"}},
        {"lone CR line ends", loneCr, {"<too long>"}},
        {"lone CR line ends under a comment header", "# routes\r" + loneCr,
         {"<too long># routes\r" + loneCr.substr(0, kLineSize - 10)}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ReadAll(c.content), c.lines) << c.what;
}

}  // namespace
