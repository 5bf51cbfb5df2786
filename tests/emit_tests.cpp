// QuorvelEmit: its command line, its messages, and the program itself,
// which under Wine never sees a session enable its providers.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "etw_emulation/synthetic_script.h"
#include "tools/emit_options.h"

namespace {

const ULONG64 kHighestNumber = ~0ull;   // 20 digits for "{n}"

EmitParse Parse(std::vector<const WCHAR*> args, EmitOptions* options, std::wstring* error)
{
    args.insert(args.begin(), L"QuorvelEmit");
    WCHAR text[EMIT_ERROR_UNITS];
    EmitParse result = ParseEmitOptions((int)args.size(), (WCHAR**)args.data(), options, text);
    *error = text;
    return result;
}

TEST(EmitOptionsTests, AcceptsTheCommandLinesOfTheUsage)
{
    // 23 units of "QuorvelEmit::Main(1) : " leave 31976 for the text.
    std::wstring longest(31976, L'x');
    std::wstring longestEndless = std::wstring(31999 - 20, L'x') + L"{n}";
    struct Case {
        std::vector<const WCHAR*> args;
        ULONG provider, level, count, rate, wait;
        BOOL script;
    } cases[] = {
        {{}, 1, 4, 10, 10, 10, FALSE},
        {{L"--provider", L"6", L"--level", L"255", L"--count", L"4294967295", L"--rate", L"1000000",
          L"--wait", L"86400", L"--line", L"4294967295"}, 6, 255, 0xFFFFFFFF, 1000000, 86400, FALSE},
        {{L"--provider", L"all", L"--level", L"0", L"--count", L"0", L"--rate", L"0", L"--wait", L"0"},
         EMIT_ALL_PROVIDERS, 0, 0, 0, 0, FALSE},
        {{L"--script", L"--count", L"23"}, 1, 4, 23, 10, 10, TRUE},
        {{L"--text", longest.c_str()}, 1, 4, 10, 10, 10, FALSE},
        {{L"--origin", L"", L"--count", L"0", L"--text", longestEndless.c_str()}, 1, 4, 0, 10, 10, FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        EmitOptions options;
        std::wstring error;
        ASSERT_EQ(kEmitRun, Parse(c.args, &options, &error)) << error;
        EXPECT_EQ(c.provider, options.provider);
        EXPECT_EQ(c.level, options.level);
        EXPECT_EQ(c.count, options.count);
        EXPECT_EQ(c.rate, options.rate);
        EXPECT_EQ(c.wait, options.waitSeconds);
        EXPECT_EQ(c.script, options.script);
    }
    EmitOptions options;
    std::wstring error;
    EXPECT_EQ(kEmitHelp, Parse({L"--count", L"5", L"-h"}, &options, &error));
    EXPECT_EQ(kEmitHelp, Parse({L"/?"}, &options, &error));
}

TEST(EmitOptionsTests, RefusesWithTheReason)
{
    std::wstring tooLong(31977, L'x');
    std::wstring tooLongEndless = std::wstring(31999 - 19, L'x') + L"{n}";
    const WCHAR* count = L"--count takes a number from 0 to 4294967295.";
    struct Case {
        std::vector<const WCHAR*> args;
        const WCHAR* error;
    } cases[] = {
        {{L"--provider", L"0"}, L"--provider takes 1 to 6 or all."},
        {{L"--provider", L"7"}, L"--provider takes 1 to 6 or all."},
        {{L"--level", L"256"}, L"--level takes a level from 0 to 255."},
        {{L"--count", L"4294967296"}, count},
        {{L"--count", L"-1"}, count},
        {{L"--count", L"12x"}, count},
        {{L"--count", L""}, count},
        {{L"--rate", L"1000001"}, L"--rate takes a number from 0 to 1000000."},
        {{L"--wait"}, L"--wait takes a number of seconds from 0 to 86400."},
        {{L"--text"}, L"--text takes a text."},
        {{L"--verbose"}, L"unknown option \"--verbose\"."},
        {{L"--script", L"--level", L"2"}, L"--script takes the providers, levels and texts from the script."},
        {{L"--origin", L"", L"--text", L""}, L"the message is empty."},
        {{L"--text", tooLong.c_str()}, L"the message is longer than 31999 characters."},
        {{L"--origin", L"", L"--count", L"0", L"--text", tooLongEndless.c_str()},
         L"the message is longer than 31999 characters."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        EmitOptions options;
        std::wstring error;
        EXPECT_EQ(kEmitBadArguments, Parse(c.args, &options, &error));
        EXPECT_EQ(std::wstring(c.error), error);
    }
}

TEST(EmitOptionsTests, BuildsOriginLineAndTextWithTheNumber)
{
    struct Case {
        std::vector<const WCHAR*> args;
        ULONG64 number;
        ULONG providerIndex;
        UCHAR level;
        const WCHAR* text;
    } cases[] = {
        {{L"--origin", L"Reader::Open", L"--line", L"42", L"--text", L"card inserted", L"--level", L"2",
          L"--provider", L"3"}, 1, 2, 2, L"Reader::Open(42) : card inserted"},
        {{}, 17, 0, 4, L"QuorvelEmit::Main(1) : test message 17"},
        // Only "{n}" is replaced; nothing is a format.
        {{L"--origin", L"", L"--text", L"{n}/{n} {n %s%d {N}"}, kHighestNumber, 0, 4,
         L"18446744073709551615/18446744073709551615 {n %s%d {N}"},
        {{L"--provider", L"all"}, 6, 5, 4, L"QuorvelEmit::Main(1) : test message 6"},
        {{L"--provider", L"all"}, 7, 0, 4, L"QuorvelEmit::Main(1) : test message 7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        EmitOptions options;
        std::wstring error;
        ASSERT_EQ(kEmitRun, Parse(c.args, &options, &error));
        std::vector<WCHAR> text(EMIT_MESSAGE_UNITS);
        ULONG providerIndex = 99;
        UCHAR level = 99;
        EXPECT_TRUE(BuildEmitMessage(&options, c.number, &providerIndex, &level, text.data()));
        EXPECT_EQ(c.providerIndex, providerIndex);
        EXPECT_EQ(c.level, level);
        EXPECT_EQ(std::wstring(c.text), text.data());
    }

    // The script from its first event on, message n being event n - 1.
    EmitOptions script;
    std::wstring error;
    ASSERT_EQ(kEmitRun, Parse({L"--script"}, &script, &error));
    for (ULONG64 number = 1; number <= 46; ++number) {
        SyntheticEvent expected;
        DescribeSyntheticEvent(number - 1, &expected);
        std::vector<WCHAR> text(EMIT_MESSAGE_UNITS);
        ULONG providerIndex = 99;
        UCHAR level = 99;
        ASSERT_TRUE(BuildEmitMessage(&script, number, &providerIndex, &level, text.data()));
        EXPECT_EQ(expected.providerIndex, providerIndex) << number;
        EXPECT_EQ(expected.level, level) << number;
        EXPECT_EQ(std::wstring(expected.text), text.data()) << number;
    }

    // A message one unit too long leaves an empty text and nothing beyond.
    std::wstring tooLong = std::wstring(31999 - 19, L'x') + L"{n}";
    EmitOptions options = {FALSE, 1, 4, 0, 10, 10, L"", 1, tooLong.c_str()};
    std::vector<WCHAR> text(EMIT_MESSAGE_UNITS + 1, 0x5A5A);
    ULONG providerIndex;
    UCHAR level;
    EXPECT_FALSE(BuildEmitMessage(&options, kHighestNumber, &providerIndex, &level, text.data()));
    EXPECT_EQ(L'\0', text[0]);
    EXPECT_EQ(0x5A5A, text[EMIT_MESSAGE_UNITS]);
}

// Runs QuorvelEmit.exe, built beside this test, and collects what it writes
// to stdout and stderr (line ends as LF).
DWORD RunEmitter(const std::wstring& arguments, std::string* output)
{
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *wcsrchr(path, L'\\') = L'\0';
    std::wstring command = L"\"" + std::wstring(path) + L"\\QuorvelEmit.exe\" " + arguments;
    SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0))
        return (DWORD)-1;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    DWORD exitCode = (DWORD)-1;
    if (started) {
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, sizeof(chunk), &got, nullptr) && got > 0)
            output->append(chunk, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(readEnd);
    output->erase(std::remove(output->begin(), output->end(), '\r'), output->end());
    return exitCode;
}

TEST(EmitterProgramTests, WithoutAnEnablingSessionItLogsNothingAndFails)
{
    std::string output;
    EXPECT_EQ(1u, RunEmitter(L"--count 3 --wait 0", &output));
    EXPECT_NE(std::string::npos, output.find("Registered the six Quorvel providers.\n")) << output;
    EXPECT_NE(std::string::npos,
              output.find("QuorvelEmit: no trace session enabled the Quorvel providers within 0 s; "
                          "nothing was logged.\n")) << output;
    EXPECT_EQ(std::string::npos, output.find("Logged")) << output;

    output.clear();
    EXPECT_EQ(2u, RunEmitter(L"--rate fast", &output));
    EXPECT_EQ(0u, output.find("QuorvelEmit: --rate takes a number from 0 to 1000000.\n\n"
                              "Usage: QuorvelEmit [--provider 1-6|all]")) << output;
}

}  // namespace
