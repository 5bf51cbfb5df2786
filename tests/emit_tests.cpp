// QuorvelEmit: its command line, its messages, and the program itself,
// which under Wine never sees a session enable its providers.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "etw_emulation/synthetic_script.h"
#include "tools/emit_options.h"

namespace {

const ULONG64 kHighestNumber = ~0ull;  // 20 digits for "{n}"

EmitParse Parse(std::vector<const WCHAR*> args, EmitOptions* options, std::wstring* error)
{
    args.insert(args.begin(), L"QuorvelEmit");
    WCHAR text[EMIT_ERROR_UNITS];
    EmitParse result = ParseEmitOptions((int)args.size(), (WCHAR**)args.data(), options, text);
    *error = text;
    return result;
}

// A command line of the usage and message `number` of its run; bad ones refused.
TEST(EmitOptionsTests, CommandLinesAndTheirMessages)
{
    std::wstring longest(31976, L'x');  // "QuorvelEmit::Main(1) : " takes 23 of the 31999
    std::wstring longestEndless = std::wstring(31999 - 20, L'x') + L"{n}";
    std::wstring message = L"QuorvelEmit::Main(1) : test message ";
    SyntheticEvent event;  // the script's message n is its event n - 1
    DescribeSyntheticEvent(45, &event);
    struct Case { std::vector<const WCHAR*> args; ULONG count, rate, wait; ULONG64 number; ULONG providerIndex;
                  UCHAR level; std::wstring text; } cases[] = {
        {{}, 10, 10, 10, 17, 0, 4, message + L"17"},
        {{L"--provider", L"6", L"--level", L"255", L"--count", L"4294967295", L"--rate", L"1000000", L"--wait",
          L"86400", L"--line", L"4294967295"},
         0xFFFFFFFF, 1000000, 86400, 1, 5, 255, L"QuorvelEmit::Main(4294967295) : test message 1"},
        {{L"--provider", L"all", L"--level", L"0", L"--count", L"0", L"--rate", L"0", L"--wait", L"0"},
         0, 0, 0, 6, 5, 0, message + L"6"},
        {{L"--origin", L"Reader::Open", L"--line", L"42", L"--text", L"card inserted", L"--level", L"2",
          L"--provider", L"3"}, 10, 10, 10, 1, 2, 2, L"Reader::Open(42) : card inserted"},
        // Only "{n}" is replaced; nothing is a format.
        {{L"--origin", L"", L"--text", L"{n}/{n} {n %s%d {N}"}, 10, 10, 10, kHighestNumber, 0, 4,
         L"18446744073709551615/18446744073709551615 {n %s%d {N}"},
        {{L"--text", longest.c_str()}, 10, 10, 10, 1, 0, 4, L"QuorvelEmit::Main(1) : " + longest},
        {{L"--origin", L"", L"--count", L"0", L"--text", longestEndless.c_str()}, 0, 10, 10, kHighestNumber, 0, 4,
         std::wstring(31979, L'x') + L"18446744073709551615"},
        {{L"--script", L"--count", L"23"}, 23, 10, 10, 46, event.providerIndex, event.level, event.text},
    };
    EmitOptions options;
    std::wstring error;
    std::vector<WCHAR> text(EMIT_MESSAGE_UNITS + 1, 0x5A5A);  // a guard unit past the end
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        ASSERT_EQ(kEmitRun, Parse(c.args, &options, &error)) << error;
        EXPECT_EQ(c.count, options.count);
        EXPECT_EQ(c.rate, options.rate);
        EXPECT_EQ(c.wait, options.waitSeconds);
        ULONG providerIndex = 99;
        UCHAR level = 99;
        EXPECT_TRUE(BuildEmitMessage(&options, c.number, &providerIndex, &level, text.data()));
        EXPECT_EQ(c.providerIndex, providerIndex);
        EXPECT_EQ(c.level, level);
        EXPECT_EQ(c.text, text.data());
    }
    EXPECT_EQ(0x5A5A, text[EMIT_MESSAGE_UNITS]);  // also after the longest messages
    EXPECT_EQ(kEmitHelp, Parse({L"--count", L"5", L"-h"}, &options, &error));
    EXPECT_EQ(kEmitHelp, Parse({L"/?"}, &options, &error));

    // Refused, with the reason.
    std::wstring tooLong(31977, L'x');
    std::wstring tooLongEndless = std::wstring(31999 - 19, L'x') + L"{n}";
    const WCHAR* count = L"--count takes a number from 0 to 4294967295.";
    struct Refused { std::vector<const WCHAR*> args; const WCHAR* error; } refused[] = {
        {{L"--provider", L"7"}, L"--provider takes 1 to 6 or all."},
        {{L"--level", L"256"}, L"--level takes a level from 0 to 255."},
        {{L"--count", L"4294967296"}, count},
        {{L"--count", L"12x"}, count},
        {{L"--count", L""}, count},
        {{L"--wait"}, L"--wait takes a number of seconds from 0 to 86400."},
        {{L"--verbose"}, L"unknown option \"--verbose\"."},
        {{L"--script", L"--level", L"2"}, L"--script takes the providers, levels and texts from the script."},
        {{L"--text", L"x", L"--script"}, L"--script takes the providers, levels and texts from the script."},
        {{L"--origin", L"", L"--text", L""}, L"the message is empty."},
        {{L"--text", tooLong.c_str()}, L"the message is longer than 31999 characters."},
        {{L"--origin", L"", L"--count", L"0", L"--text", tooLongEndless.c_str()},
         L"the message is longer than 31999 characters."},
    };
    for (const Refused& r : refused) {
        SCOPED_TRACE(testing::Message() << "refused " << &r - refused);
        EXPECT_EQ(kEmitBadArguments, Parse(r.args, &options, &error));
        EXPECT_EQ(std::wstring(r.error), error);
    }
}

// Runs QuorvelEmit.exe, built beside this test: its exit code, and its
// stdout and stderr with LF line ends.
DWORD RunEmitter(const std::wstring& arguments, std::string* output)
{
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *wcsrchr(path, L'\\') = L'\0';
    std::wstring command = L"\"" + std::wstring(path) + L"\\QuorvelEmit.exe\" " + arguments + L" 2>&1";
    FILE* pipe = _wpopen(command.c_str(), L"rb");
    if (pipe == nullptr)
        return (DWORD)-1;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
        output->append(chunk, got);
    output->erase(std::remove(output->begin(), output->end(), '\r'), output->end());
    return (DWORD)_pclose(pipe);
}

TEST(EmitterProgramTests, WithoutAnEnablingSessionItLogsNothingAndFails)
{
    std::string output;
    EXPECT_EQ(1u, RunEmitter(L"--count 3 --wait 0", &output));
    EXPECT_NE(std::string::npos, output.find("Registered the six Quorvel providers.\n")) << output;
    EXPECT_NE(std::string::npos, output.find("QuorvelEmit: no trace session enabled the Quorvel providers within 0 s; "
                                             "nothing was logged.\n")) << output;

    output.clear();
    EXPECT_EQ(2u, RunEmitter(L"--rate 1000001", &output));
    EXPECT_EQ(0u, output.find("QuorvelEmit: --rate takes a number from 0 to 1000000.\n\n"
                              "Usage: QuorvelEmit [--provider 1-6|all]")) << output;
}

}  // namespace
