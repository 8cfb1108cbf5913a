// Feeds arbitrary bytes to the route loader as its route file, through the
// real file reading, line splitting and route command runner, on the stand-in
// platform. Aborts when a launched command line breaks the shape the route
// tool is promised, when the platform is misused or a handle leaks, or when
// the launches and failure records differ from those a plain model of the
// route file format expects.
//
// The host's "r" mode does no CR LF or Ctrl-Z translation, so the model
// splits lines at LF only; every other byte is data.

#include "fake_win32.h"
#include "../unit/product_state.h"

#include "loader/loader.h"
#include "loader/routing_table.h"
#include "report/report.h"
#include "service/service.h"

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <strings.h>

namespace {

constexpr char kToolPath[] = "C:\\WINNT35\\system32\\ROUTE.EXE";
constexpr char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr size_t kMaxLineRead = 255;   // characters one line read takes
constexpr size_t kMaxFieldLength = 15;

struct Expected {
    std::vector<std::string> commandLines;
    std::vector<std::string> steps;
    bool addsARoute = false;  // a route whose fields are all IPv4 addresses
};

bool IsWhiteSpace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

[[noreturn]] void Fail(const std::string &what, const std::string &detail = "")
{
    fprintf(stderr, "route file fuzz: %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ",
            detail.c_str());
    abort();
}

std::string Join(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += "  [" + line + "]\n";
    return text;
}

bool IsWord(const std::string &field, const char *word)
{
    return strcasecmp(field.c_str(), word) == 0;
}

// What one line of the file means, taken as text up to its first NUL: a
// destination, a mask unless the third field is METRIC or IF, a gateway, then
// METRIC n and IF i (or IF and an alias) in either order; what follows is
// ignored.
void ModelLine(const std::string &raw, Expected &expected)
{
    std::string text = raw.substr(0, raw.find('\0'));
    text = text.substr(0, text.find('#'));

    std::vector<std::string> fields;
    size_t at = 0;
    while (fields.size() < 8) {
        while (at < text.size() && IsWhiteSpace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at == text.size())
            break;
        const size_t start = at;
        while (at < text.size() && !IsWhiteSpace(static_cast<unsigned char>(text[at])))
            ++at;
        // After an IF past the second field, a quoted field runs to its closing quote.
        if (text[start] == '"' && fields.size() >= 3 && IsWord(fields.back(), "IF"))
            at = std::min(text.find('"', start + 1), text.size() - 1) + 1;
        fields.push_back(text.substr(start, at - start));
    }
    if (fields.size() < 2)
        return;
    for (size_t i = 0; i < fields.size() && i < 3; ++i) {
        if (fields[i].size() > kMaxFieldLength) {
            expected.steps.emplace_back("FieldTooLong");
            return;
        }
    }
    const bool masked = fields.size() >= 3 && !IsWord(fields[2], "METRIC") && !IsWord(fields[2], "IF");
    const size_t gateway = masked ? 2 : 1;
    // The route tool would read a field that begins with - or / as an option.
    for (size_t i = 0; i <= gateway; ++i) {
        if (fields[i][0] == '-' || fields[i][0] == '/') {
            expected.steps.emplace_back("OptionField");
            return;
        }
    }
    std::string pairs[2];  // METRIC's number, IF's
    for (size_t next = gateway + 1;; next += 2) {
        const int pair = next >= fields.size()                                     ? -1
                         : pairs[0].empty() && IsWord(fields[next], "METRIC") ? 0
                         : pairs[1].empty() && IsWord(fields[next], "IF")     ? 1
                                                                                   : -1;
        if (pair < 0)
            break;
        const std::string number = next + 1 < fields.size() ? fields[next + 1] : "";
        // An interface by its alias, which none has here: the route waits.
        const bool quoted = !number.empty() && number[0] == '"';
        if (pair == 1 && (quoted ? number.size() >= 3 && number.back() == '"'
                                 : number.find_first_not_of("0123456789") != std::string::npos)) {
            pairs[1] = "?";
            continue;
        }
        if (number.empty() || number.size() > 5 || number[0] == '0' ||
            number.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(number) > (pair == 0 ? 9999u : 99999u)) {
            expected.steps.emplace_back("NumberField");
            return;
        }
        pairs[pair] = number;
    }
    DWORD address;
    const bool addresses = ParseAddress(fields[0].c_str(), &address) &&
                           (!masked || ParseAddress(fields[1].c_str(), &address)) &&
                           ParseAddress(fields[gateway].c_str(), &address);
    expected.addsARoute = expected.addsARoute || addresses;
    if (pairs[1] != "?")
        expected.commandLines.push_back("ROUTE.EXE ADD " + fields[0] +
                                    (masked ? " MASK " + fields[1] : "") + " " + fields[gateway] +
                                    (pairs[0].empty() ? "" : " METRIC " + pairs[0]) +
                                    (pairs[1].empty() ? "" : " IF " + pairs[1]));
}

// The whole file: lines end at LF; a line of more than 255 characters is
// reported, and acted on only from its first 255, and only if those hold a
// "#" or a NUL.
Expected Model(std::string file)
{
    Expected expected;
    // A UTF-16 file (a NUL in its first two bytes, or its mark) is refused
    // before anything runs; a UTF-8 mark is skipped.
    if (file.rfind("\xFF\xFE", 0) == 0 || file.rfind("\xFE\xFF", 0) == 0 ||
        (file.size() >= 2 && (file[0] == '\0' || file[1] == '\0'))) {
        expected.steps.emplace_back("UnicodeFile");
        return expected;
    }
    if (file.rfind("\xEF\xBB\xBF", 0) == 0)
        file.erase(0, 3);
    expected.commandLines.emplace_back("ROUTE.EXE -f");
    size_t start = 0;
    while (start < file.size()) {
        size_t end = file.find('\n', start);
        if (end == std::string::npos)
            end = file.size();
        const std::string line = file.substr(start, end - start);
        start = end + 1;
        if (line.size() <= kMaxLineRead) {
            ModelLine(line, expected);
            continue;
        }
        expected.steps.emplace_back("LineTooLong");
        const std::string head = line.substr(0, kMaxLineRead);
        const std::string text = head.substr(0, head.find('\0'));
        if (text.size() < head.size() || text.find('#') != std::string::npos)
            ModelLine(head, expected);
    }
    // A file without a route is refused before anything runs.
    if (!expected.addsARoute)
        expected = {{}, {"NoRouteInFile"}};
    return expected;
}

bool IsGoodField(const std::string &field)
{
    if (field.empty() || field.size() > kMaxFieldLength)
        return false;
    for (unsigned char c : field) {
        if (IsWhiteSpace(c) || c == '#' || c == '\0')
            return false;
    }
    return true;
}

// The promise to the route tool, whatever the file held.
void CheckShape(const std::vector<std::string> &lines)
{
    if (lines.empty() || lines[0] != "ROUTE.EXE -f")
        Fail("the first launch is not the clearing one", Join(lines));
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> words;
        size_t at = 0;
        for (;;) {
            const size_t blank = lines[i].find(' ', at);
            words.push_back(lines[i].substr(at, blank - at));
            if (blank == std::string::npos)
                break;
            at = blank + 1;
        }
        // ROUTE.EXE ADD destination [MASK mask] gateway [METRIC n] [IF i]
        size_t k = 3;
        bool good = words.size() >= 4 && words[0] == "ROUTE.EXE" && words[1] == "ADD" &&
                    IsGoodField(words[2]);
        if (good && words[3] == "MASK" && words.size() >= 6)
            good = IsGoodField(words[4]), k = 5;
        good = good && IsGoodField(words[k++]);
        for (const char *keyword : {"METRIC", "IF"}) {
            if (good && k + 1 < words.size() && words[k] == keyword)
                good = words[k + 1].find_first_not_of("0123456789") == std::string::npos, k += 2;
        }
        good = good && k == words.size();
        if (!good)
            Fail("a route command of the wrong shape", lines[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A scratch folder per input, gone again when the input is done (libFuzzer
    // ends without running exit handlers).
    char folder[] = "/tmp/tolvane-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        Fail("no scratch folder");
    const std::string windowsDirectory = std::string(folder) + "/WINNT35";
    // The route file's Windows path, taken as one file name on the host.
    const std::string routeFilePath = windowsDirectory + kRouteFileSuffix;
    const std::string content(reinterpret_cast<const char *>(data), size);
    FILE *file = fopen(routeFilePath.c_str(), "wb");
    if (file == nullptr || fwrite(content.data(), 1, content.size(), file) != content.size() ||
        fclose(file) != 0)
        Fail("cannot write the route file", routeFilePath);

    fake::Reset();
    ResetProductState();
    fake::SetSearchResult("ROUTE.EXE", kToolPath);
    fake::SetRegistryValue(kCurrentVersionKey, "SystemRoot", windowsDirectory + '\0');
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_stopEvent = stop;

    RouteLoaderThread(nullptr);
    std::filesystem::remove_all(folder);

    const Expected expected = Model(content);
    const std::vector<std::string> lines = fake::CommandLines();
    const bool refused = expected.commandLines.empty();
    if (!refused)
        CheckShape(lines);
    for (const fake::Launch &launch : fake::Launches()) {
        if (launch.application != kToolPath)
            Fail("a launch not of the route tool found", launch.application);
    }
    const std::vector<std::string> problems = fake::Problems();
    if (!problems.empty())
        Fail("platform misuse", Join(problems));
    if (fake::TimesSignalled(stop) != 1 || (g_stopEvent == stop) == refused)
        Fail("the stop event was not signalled exactly once, and left open unless refused");

    if (lines != expected.commandLines)
        Fail("launches differ from the route file's routes",
             "launched\n" + Join(lines) + "expected\n" + Join(expected.commandLines));
    // The routes the table does not hold are recorded at the end, after the lines' records.
    std::vector<std::string> steps = fake::RecordedSteps();
    while (!steps.empty() && steps.back() == "RouteNotInTable")
        steps.pop_back();
    if (steps != expected.steps)
        Fail("failure records differ from the route file's faults",
             "recorded\n" + Join(steps) + "expected\n" + Join(expected.steps));

    if (!refused)
        CloseHandle(stop);
    const std::vector<std::string> leaked =
        fake::LeakedHandles({g_lastChild.hProcess, g_lastChild.hThread});
    if (!leaked.empty())
        Fail("handles left open", Join(leaked));
    fake::EndProcess();
    return 0;
}
