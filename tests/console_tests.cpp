// QuorvelTraceCmd: its commands in-process on the ETW emulation (the sequence must see one emulated session), their
// save against the main dialog's own, and the built program itself under Wine, whose ETW functions are stubs.
#include <gtest/gtest.h>
#include <bcrypt.h>

#include <regex>

#include "app/main_dialog.h"
#include "console/console_commands.h"
#include "etw_emulation/etw_emulation.h"
#include "res/resource.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
#include "test_support/temp_dir.h"
#include "test_support/ui_driver.h"
#include "tracing/trace_session.h"

namespace {

const LONGLONG kMarch1 = 133537248000000000; // 2024-03-01 00:00:00 UTC as a FILETIME
const std::wstring kKey = L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\Quorvel";
const std::wstring kFirstProvider = kKey + L"\\{8e4f1a10-6b3c-4f21-a502-3d7c9144e001}";
const std::string kDirectory = "C:\\windows\\System32\\LogFiles\\WMI";
const std::string kUsage = "Usage: QuorvelTraceCmd COMMAND [OPTION]\r\n\r\nPersistent tracing of the Quorvel";
const std::string kNeedsAdmin
    = "QuorvelTraceCmd: this command needs administrator rights; nothing was done. Run it "
      "from an elevated prompt, or as SYSTEM (Intune, Configuration Manager, a scheduled task).\r\n";

struct Result {
    int code = -1;
    std::string out, err; // UTF-8, as written
    std::string All() const { return "exit " + std::to_string(code) + "\n" + out + "|" + err; }
};

std::string Exit(int code, const std::string& out, const std::string& err = "")
{
    return "exit " + std::to_string(code) + "\n" + out + "|" + err;
}

// The command line through the program's entry, its output through real files; or, with `program`, the built
// QuorvelTraceCmd.exe as a child process under `token` (null: this process's).
Result Command(std::vector<const WCHAR*> args, bool program = false, HANDLE token = nullptr)
{
    TempDir dir;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = CreateFileW((dir / L"out").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
    startup.hStdError = CreateFileW((dir / L"err").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
    Result result;
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(path, wcsrchr(path, L'\\') + 1) + L"QuorvelTraceCmd.exe\"";
    for (const WCHAR* arg : args)
        command += std::wstring(L" \"") + arg + L"\"";
    PROCESS_INFORMATION process = {};
    args.insert(args.begin(), L"QuorvelTraceCmd");
    if (!program) {
        result.code = RunConsoleCommand((int)args.size(), (WCHAR**)args.data(), startup.hStdOutput, startup.hStdError);
    } else if (token != nullptr
            ? CreateProcessAsUserW(
                token, nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)
            : CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        if (WaitForSingleObject(process.hProcess, UI_WAIT_MS) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, (DWORD*)&result.code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    result.out = ReadFileBytes(dir / L"out");
    result.err = ReadFileBytes(dir / L"err");
    return result;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end()); // ASCII paths only
}

std::string Payload(const std::wstring& text)
{
    return std::string((const char*)text.c_str(), (text.size() + 1) * sizeof(WCHAR));
}

std::wstring LogPath(const WCHAR* suffix)
{
    WCHAR path[MAX_PATH];
    GetLogFilePath(path, suffix);
    return path;
}

std::string Sha256(const std::string& bytes) // not the program's CryptoAPI: BCrypt
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    UCHAR digest[32] = {};
    BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    BCryptHash(algorithm, nullptr, 0, (PUCHAR)bytes.data(), (ULONG)bytes.size(), digest, sizeof(digest));
    BCryptCloseAlgorithmProvider(algorithm, 0);
    char hex[65];
    for (int i = 0; i < 32; ++i)
        sprintf(hex + 2 * i, "%02x", digest[i]);
    return hex;
}

// The token Wine gives every process started from outside is elevated; its linked token is the filtered one of an
// administrator who did not elevate.
HANDLE LimitedToken()
{
    HANDLE token = nullptr;
    TOKEN_LINKED_TOKEN linked = {};
    TOKEN_ELEVATION elevation = {1};
    DWORD size = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    EXPECT_TRUE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &size) && CloseHandle(token)
        && GetTokenInformation(linked.LinkedToken, TokenElevation, &elevation, sizeof(elevation), &size)
        && !elevation.TokenIsElevated);
    return linked.LinkedToken;
}

BOOL WINAPI RefusedWrite(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

class ConsoleTest : public testing::Test {
protected:
    // `text` with the temporary folder's path in place of %T.
    std::string InTemp(std::string text) { return std::regex_replace(text, std::regex("%T"), Narrow(temp.path())); }

    PersistentTracingCleanup cleanup;
    TempDir temp;
};

// Status, enable (twice: the session runs on), the log at a size users reach, status as text and JSON, save against
// the main dialog's "Save the log", bundle, disable.
TEST_F(ConsoleTest, StatusEnableSaveBundleDisable)
{
    EXPECT_EQ(Exit(0,
                  "Persistent tracing: not registered\r\nFile session \"Quorvel\": not running\r\nLog files in "
                  "C:\\windows\\System32\\LogFiles\\WMI: none\r\n"),
        Command({L"status"}).All());
    EXPECT_EQ(Exit(0,
                  "Persistent tracing enabled at level 2 (Error): the file session \"Quorvel\" writes "
                  "C:\\windows\\System32\\LogFiles\\WMI\\Quorvel.etl, and Windows starts it again at every boot.\r\n"),
        Command({L"enable", L"--level", L"2"}).All());
    EXPECT_EQ(2u, ReadMachineValue(kFirstProvider, L"EnableLevel").AsDword());
    EXPECT_EQ(Exit(0,
                  "Persistent tracing registered at level 5 (Verbose); the file session \"Quorvel\" was already "
                  "running and keeps its level until the next restart.\r\n"),
        Command({L"ENABLE"}).All());
    EXPECT_EQ(5u, ReadMachineValue(kFirstProvider, L"EnableLevel").AsDword());
    EXPECT_EQ(13u, MachineNames(kKey, true).size());

    // The session still takes levels up to 2. A level 0 event and an empty one are no lines of the export, nor
    // counted; one its file refuses is lost.
    const std::tuple<LONGLONG, UCHAR, std::string> kEvents[]
        = {{kMarch1 - 1, 1, Payload(L"Reader::Open(42) : card")}, {kMarch1, 0, Payload(L"level 0")}, {kMarch1, 2, ""},
            {kMarch1, 3, Payload(L"level 3")}, {kMarch1 + 12340000, 2, Payload(L"Pin::Verify(7) : PIN")}};
    for (const auto& [stamp, level, payload] : kEvents)
        EtwEmuLogEvent(&providerTable[level % 6], level, 1, 2, stamp, payload.data(), (ULONG)payload.size());
    {
        ImportPatch diskFull("kernel32.dll", "WriteFile", (void*)RefusedWrite);
        EXPECT_EQ(0u, EtwEmuLogEvent(&providerTable[0], 1, 1, 2, kMarch1, "x", 2));
    }
    std::vector<std::string> payloads(200000);
    std::vector<EtwEmuFileEvent> older(payloads.size());
    for (size_t i = 0; i < older.size(); ++i) {
        payloads[i] = Payload(L"older " + std::to_wstring(i));
        older[i]
            = {providerTable[1], 4, 4, 7, kMarch1 + (LONGLONG)i * 10000, payloads[i].data(), (ULONG)payloads[i].size()};
    }
    ASSERT_EQ(0u, EtwEmuWriteLogFile(LogPath(L".001").c_str(), L"Quorvel", older.data(), older.size()));
    ASSERT_EQ(0u, EtwEmuSetLogFileLosses(LogPath(L".001").c_str(), 7, 3));
    ASSERT_TRUE(WriteFileBytes(LogPath(L".002"), "abc"));
    EXPECT_EQ(Exit(0,
                  "Persistent tracing: registered, level 5 (Verbose)\r\n"
                  "File session \"Quorvel\": running, 1 event(s) lost\r\n"
                  "Log files in C:\\windows\\System32\\LogFiles\\WMI:\r\n"
                  "  Quorvel.etl: 384 bytes, 2 event(s) from 2024-02-29 23:59:59.999 to 2024-03-01 00:00:01.234 "
                  "UTC, lost while written: 0 event(s), 0 buffer(s)\r\n"
                  "  Quorvel.etl.001: 15200000 bytes, 200000 event(s) from 2024-03-01 00:00:00.000 to 2024-03-01 "
                  "00:03:19.999 UTC, lost while written: 7 event(s), 3 buffer(s)\r\n"
                  "  Quorvel.etl.002: 3 bytes, not readable as a log: 0x00000570 - File or directory corrupt.\r\n"),
        Command({L"status"}).All());
    // Without the hashes that the manifest adds at %0 to %2.
    const std::string filesJson
        = "{\"name\":\"Quorvel.etl\",\"bytes\":384%0,\"events\":2,\"firstEvent\":\"2024-02-29T"
          "23:59:59.999Z\",\"lastEvent\":\"2024-03-01T00:00:01.234Z\",\"eventsLost\":0,"
          "\"buffersLost\":0},{\"name\":\"Quorvel.etl.001\",\"bytes\":15200000%1,\"events\":"
          "200000,\"firstEvent\":\"2024-03-01T00:00:00.000Z\",\"lastEvent\":\"2024-03-01T00:03:"
          "19.999Z\",\"eventsLost\":7,\"buffersLost\":3},{\"name\":\"Quorvel.etl.002\",\"bytes\":"
          "3%2,\"status\":1392,\"error\":\"0x00000570 - File or directory corrupt.\"}]}\r\n";
    EXPECT_EQ(Exit(0,
                  "{\"registration\":{\"registered\":true,\"level\":5,\"providersWithLevel\":6},\"session\":{"
                  "\"name\":\"Quorvel\",\"running\":true,\"eventsLost\":1},\"logDirectory\":\"C:\\\\windows\\\\"
                  "System32\\\\LogFiles\\\\WMI\",\"files\":["
                      + std::regex_replace(filesJson, std::regex("%[0-9]"), "")),
        Command({L"status", L"--JSON"}).All());

    const std::wstring saved = temp / L"saved.txt", byDialog = temp / L"dialog.txt";
    ASSERT_TRUE(WriteFileBytes(saved, std::string(100, 'x'))); // replaced
    Result r = Command({L"save", saved.c_str()});
    const std::string exported = ReadFileBytes(saved);
    EXPECT_EQ(Exit(0, InTemp("Saved the log to %T\\saved.txt (" + std::to_string(exported.size()) + " bytes).\r\n")),
        r.All());
    EXPECT_EQ(std::string("=\0=\0", 4), exported.substr(0, 4)); // UTF-16LE, no byte-order mark
    UiDialogRun* run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
    HWND dialog = WaitForWindow(L"#32770", L"Quorvel Tracing");
    ClickButton(dialog, IDC_ADVANCED);
    ClickButton(dialog, IDC_SAVE_LOG);
    ASSERT_TRUE(AnswerSaveDialog(dialog, byDialog.c_str()));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(byDialog).size() == exported.size(); }));
    EXPECT_TRUE(ReadFileBytes(byDialog) == exported) << "the main dialog's save differs";
    CloseWithCloseBox(dialog);
    EXPECT_EQ(0, FinishUiThread(run));

    // Into a folder and its parents, a non-ASCII name among them. Every value of the registration is listed, escaped.
    const std::wstring bundle = temp / L"share\\PC-\u00dc";
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey.c_str(), L"Note", REG_SZ, L"\u00dc\"\\\n", 10);
    EXPECT_EQ(Exit(0,
                  InTemp("Bundle written to %T\\share\\PC-\xc3\x9c: QuorvelTrace.txt, Quorvel.etl, Quorvel.etl.001, "
                         "Quorvel.etl.002, manifest.json.\r\n")),
        Command({L"bundle", bundle.c_str()}).All());
    EXPECT_TRUE(ReadFileBytes(bundle + L"\\QuorvelTrace.txt") == exported);
    std::string files = filesJson;
    for (int i = 0; i < 3; ++i) {
        std::wstring name = i == 0 ? L"Quorvel.etl" : L"Quorvel.etl.00" + std::to_wstring(i);
        std::string copy = ReadFileBytes(bundle + L"\\" + name);
        EXPECT_TRUE(copy == ReadFileBytes(LogPath(name.c_str() + 11))) << i;
        files.replace(files.find("%" + std::to_string(i)), 2, ",\"sha256\":\"" + Sha256(copy) + "\"");
    }
    EXPECT_NE(
        std::string::npos, files.find("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")); // "abc"
    const std::string manifest = ReadFileBytes(bundle + L"\\manifest.json");
    EXPECT_EQ(manifest.size() - files.size(), manifest.rfind(",\"files\":[" + files) + 10) << manifest;
    for (const std::string& part : {"\"export\":{\"name\":\"QuorvelTrace.txt\",\"bytes\":"
                 + std::to_string(exported.size()) + ",\"sha256\":\"" + Sha256(exported) + "\"}",
             std::string("{\"program\":\"QuorvelTraceCmd 2.1.0.0\",\"created\":\""),
             std::string("\"timeZone\":{\"name\":\"Central Europe Standard Time\","),
             std::string("\"Note\":\"\\u00dc\\\"\\\\\\u000a\","),
             std::string(
                 "\"FileName\":\"C:\\\\windows\\\\System32\\\\LogFiles\\\\WMI\\\\Quorvel.etl\",\"FlushTimer\":0,"),
             std::string(
                 "\"{8e4f1a15-6b3c-4f21-a502-3d7c9144e006}\":{\"values\":{\"Enabled\":1,\"EnableLevel\":5,"
                 "\"EnableProperty\":0,\"MatchAllKeyword\":0,\"MatchAnyKeyword\":0,\"Status\":0},\"keys\":{}}}}}")})
        EXPECT_NE(std::string::npos, manifest.find(part)) << part;
    // A copy left by an earlier bundle of a log file gone since is removed.
    ASSERT_TRUE(WriteFileBytes(bundle + L"\\Quorvel.etl.005", "left by an earlier bundle"));
    EXPECT_EQ(0, Command({L"bundle", bundle.c_str()}).code);
    EXPECT_FALSE(PathExists(bundle + L"\\Quorvel.etl.005"));

    EXPECT_EQ(Exit(0,
                  "Persistent tracing disabled: the file session \"Quorvel\" is stopped and the registration removed; "
                  "the log files stay in C:\\windows\\System32\\LogFiles\\WMI.\r\n"),
        Command({L"disable"}).All());
    EXPECT_TRUE(!MachineKeyExists(kKey) && !EtwEmuSessionRunning(L"Quorvel") && PathExists(LogPath(L"")));
}

// Each failure names its step, code and the system's text; bad arguments print the usage; without administrator
// rights nothing is done.
TEST_F(ConsoleTest, FailuresNameTheirStep)
{
    const std::wstring missing = temp / L"missing\\log.txt", file = temp / L"file", folder = temp / L"folder";
    EXPECT_EQ(Exit(1, "",
                  InTemp("QuorvelTraceCmd: save: writing the export %T\\missing\\log.txt failed: 0x00000003 - "
                         "Path not found.\r\n")),
        Command({L"save", missing.c_str()}).All());
    EXPECT_EQ(Exit(1, "",
                  InTemp("QuorvelTraceCmd: save: there is no log file in C:\\windows\\System32\\LogFiles\\WMI; "
                         "%T\\file is empty.\r\n")),
        Command({L"save", file.c_str()}).All());
    CreateDirectoryW(LogPath(L"").substr(0, kDirectory.size()).c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(LogPath(L".008"), "not a log"));
    EXPECT_EQ(Exit(1, "",
                  InTemp("QuorvelTraceCmd: save: reading C:\\windows\\System32\\LogFiles\\WMI\\Quorvel.etl.008 "
                         "failed: 0x00000570 - File or directory corrupt. No log file could be read; %T\\file "
                         "is empty.\r\n")),
        Command({L"save", file.c_str()}).All());
    EXPECT_TRUE(PathExists(file) && ReadFileBytes(file).empty());
    EXPECT_EQ(Exit(1, "",
                  InTemp("QuorvelTraceCmd: bundle: creating the folder %T\\file failed: 0x000000B7 - File "
                         "already exists.\r\n")),
        Command({L"bundle", file.c_str()}).All());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)
        && CreateDirectoryW((folder + L"\\QuorvelTrace.txt").c_str(), nullptr));
    EXPECT_EQ(Exit(1, "",
                  InTemp("QuorvelTraceCmd: bundle: writing the export %T\\folder\\QuorvelTrace.txt failed: "
                         "0x00000005 - Access denied.\r\n")),
        Command({L"bundle", folder.c_str()}).All());
    EtwEmuReset(); // the failures count the calls since
    EtwEmuFailCall(kEmuStartTrace, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(Exit(1, "",
                  "QuorvelTraceCmd: enable: starting the file session \"Quorvel\" failed: 0x00000005 - "
                  "Access denied.\r\n"),
        Command({L"enable"}).All());
    // A registration changed by hand: one provider without a level, then one at another level.
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFirstProvider.c_str(), L"EnableLevel");
    for (std::string line : {"level 5 (Verbose) for 5 of 6 providers\r\n", "the providers' levels differ\r\n"}) {
        line = "Persistent tracing: registered, " + line;
        EXPECT_EQ(line, Command({L"status"}).out.substr(0, line.size()));
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kFirstProvider.c_str(), L"EnableLevel", REG_DWORD, "\3\0\0\0", 4);
    }
    EtwEmuReset();
    EtwEmuFailCall(kEmuControlTrace, 1, 0x2000FFFF);
    EXPECT_EQ(Exit(1, "",
                  "QuorvelTraceCmd: disable: stopping the file session \"Quorvel\" failed: 0x2000FFFF - no "
                  "description available\r\n"),
        Command({L"disable"}).All());
    EXPECT_TRUE(MachineKeyExists(kKey));

    const std::string kLevel = "--level takes a level from 1 (Critical) to 5 (Verbose).";
    const std::pair<std::vector<const WCHAR*>, std::string> kBadRows[] = {{{}, "no command given."},
        {{L"start"}, "unknown command \"start\"."}, {{L"status", L"--text"}, "status takes only --json."},
        {{L"status", L"--json", L"--json"}, "status takes only --json."},
        {{L"enable", L"--level"}, "enable takes only --level N."}, {{L"enable", L"--level", L"0"}, kLevel},
        {{L"enable", L"--level", L"6"}, kLevel}, {{L"enable", L"--level", L"55"}, kLevel},
        {{L"enable", L"5"}, "enable takes only --level N."}, {{L"disable", L"now"}, "disable takes no arguments."},
        {{L"save"}, "save takes one FILE."}, {{L"save", L""}, "save takes one FILE."},
        {{L"save", L"a", L"b"}, "save takes one FILE."}, {{L"bundle"}, "bundle takes one FOLDER."}};
    for (const auto& [args, reason] : kBadRows) {
        const std::string expected = "QuorvelTraceCmd: " + reason + "\r\n\r\n" + kUsage;
        Result r = Command(args);
        EXPECT_EQ(Exit(2, "", expected), Exit(r.code, r.out, r.err.substr(0, expected.size())));
    }
    for (const std::vector<const WCHAR*>& help :
        {std::vector<const WCHAR*> {L"--help"}, {L"enable", L"-H"}, {L"save", L"/?"}}) {
        Result r = Command(help);
        EXPECT_EQ(Exit(0, kUsage), Exit(r.code, r.out.substr(0, kUsage.size()), r.err));
    }

    // A token that is not elevated: refused before anything is done; status reads what it may.
    cleanup.Clean();
    HANDLE limited = LimitedToken();
    ASSERT_TRUE(ImpersonateLoggedOnUser(limited));
    for (const std::vector<const WCHAR*>& command :
        {std::vector<const WCHAR*> {L"enable"}, {L"disable"}, {L"save", file.c_str()}, {L"bundle", folder.c_str()}})
        EXPECT_EQ(Exit(3, "", kNeedsAdmin), Command(command).All());
    Result r = Command({L"status"});
    RevertToSelf();
    CloseHandle(limited);
    EXPECT_EQ(Exit(0, "Persistent tracing: not registered\r\n"), Exit(r.code, r.out.substr(0, 36), r.err));
    EXPECT_TRUE(ReadFileBytes(file).empty() && !MachineKeyExists(kKey) && !EtwEmuSessionRunning(L"Quorvel"));
}

// The real build: Wine's StartTraceW pretends to succeed and its ControlTraceW answers every query with 0, so the file
// session always looks "running"; its OpenTraceW refuses with 5. The registry is real.
TEST(ConsoleProgramTest, RealBuildUnderWine)
{
    PersistentTracingCleanup cleanup;
    Result r = Command({L"--help"}, true);
    EXPECT_EQ(Exit(0, kUsage), Exit(r.code, r.out.substr(0, kUsage.size()), r.err));
    r = Command({L"enable", L"--level", L"9"}, true);
    const std::string bad = "QuorvelTraceCmd: --level takes a level from 1 (Critical) to 5 (Verbose).\r\n\r\n" + kUsage;
    EXPECT_EQ(Exit(2, "", bad), Exit(r.code, r.out, r.err.substr(0, bad.size())));
    HANDLE limited = LimitedToken();
    EXPECT_EQ(Exit(3, "", kNeedsAdmin), Command({L"enable"}, true, limited).All());
    CloseHandle(limited);
    EXPECT_FALSE(MachineKeyExists(kKey));

    EXPECT_EQ(0, Command({L"enable", L"--level", L"4"}, true).code);
    EXPECT_EQ(4u, ReadMachineValue(kFirstProvider, L"EnableLevel").AsDword());
    ASSERT_TRUE(WriteFileBytes(LogPath(L""), "abc"));
    EXPECT_EQ(Exit(0,
                  "Persistent tracing: registered, level 4 (Information)\r\nFile session \"Quorvel\": running, 0 "
                  "event(s) lost\r\nLog files in C:\\windows\\System32\\LogFiles\\WMI:\r\n  Quorvel.etl: 3 bytes, not "
                  "readable as a log: "
                  "0x00000005 - Access denied.\r\n"),
        Command({L"status"}, true).All());
    EXPECT_EQ(0, Command({L"disable"}, true).code);
    EXPECT_FALSE(MachineKeyExists(kKey));
}

} // namespace
