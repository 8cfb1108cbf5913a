// Reading and splitting route file lines.

#include "loader/route_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    int count;
    std::vector<std::string> fields;
};

Parsed Parse(std::string text)
{
    char line[kLineSize] = {};
    text.copy(line, kLineSize - 1);
    char fields[kRouteFields][kFieldSize];
    memset(fields, '@', sizeof fields);
    Parsed parsed{ParseRouteLine(line, fields), {}};
    for (int i = 0; i < parsed.count; ++i)
        parsed.fields.emplace_back(fields[i]);
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

TEST(ParseRouteLine, SplitsAtAnyRunOfWhiteSpaceAndUsesThreeFieldsAtMost)
{
    const struct {
        const char *line;
        int count;
        std::vector<std::string> fields;
    } cases[] = {
        {"10.0.0.0 255.0.0.0 192.168.1.254\n", 3, {"10.0.0.0", "255.0.0.0", "192.168.1.254"}},
        {"\t10.2.0.0\t\t10.1.1.1\t\n", 2, {"10.2.0.0", "10.1.1.1"}},
        {"a\vb\fc\r\n", 3, {"a", "b", "c"}},
        {"1.1.1.1 2.2.2.2 3.3.3.3 4.4.4.4\n", 3, {"1.1.1.1", "2.2.2.2", "3.3.3.3"}},
        {"10.1.0.0 10.0.0.1#comment\n", 2, {"10.1.0.0", "10.0.0.1"}},
        {"10.3.0.0\n", 1, {"10.3.0.0"}},
        {"# 10.0.0.0 10.0.0.1\n", 0, {}},
        {"   \t  \n", 0, {}},
        {"", 0, {}},
        // Other control bytes and bytes from 0x80 belong to a field.
        {"\x01\x1f\x7f \xff\x80", 2, {"\x01\x1f\x7f", "\xff\x80"}},
    };
    for (const auto &c : cases) {
        const Parsed parsed = Parse(c.line);
        EXPECT_EQ(parsed.count, c.count) << "line: " << c.line;
        EXPECT_EQ(parsed.fields, c.fields) << "line: " << c.line;
    }
}

TEST(ParseRouteLine, RejectsALineWhoseFirstThreeFieldsDoNotFit)
{
    EXPECT_EQ(Parse("255.255.255.255 255.255.255.255 255.255.255.255").count, 3);
    EXPECT_EQ(Parse("1234567890123456 10.0.0.1").count, kFieldTooLong);
    EXPECT_EQ(Parse("10.0.0.0 255.255.255.0 1234567890123456").count, kFieldTooLong);
    // A long fourth field is ignored like any further field; so is a long comment.
    EXPECT_EQ(Parse("10.0.0.0 255.0.0.0 10.0.0.1 " + std::string(200, 'x')).count, 3);
    EXPECT_EQ(Parse("10.0.0.0 10.0.0.1 #" + std::string(200, 'x')).count, 2);
}

TEST(ParseRouteLine, NeverWritesBeyondAField)
{
    char line[kLineSize];
    memset(line, 'A', sizeof line - 1);
    line[kLineSize - 1] = '\0';
    struct {
        char fields[kRouteFields][kFieldSize];
        char guard[8];
    } out;
    memset(&out, '@', sizeof out);
    EXPECT_EQ(ParseRouteLine(line, out.fields), kFieldTooLong);
    EXPECT_EQ(std::string(out.guard, sizeof out.guard), std::string(8, '@'));
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
