// QuorvelTraceCmd: its commands in-process on the ETW emulation (the sequence must see one emulated session), their
// save against the main dialog's own, and the built program itself under Wine, whose ETW functions are stubs.
#include <gtest/gtest.h>
#include <bcrypt.h>

#include <regex>

#include "app/main_dialog.h"
#include "console/console_commands.h"
#include "etw_emulation/etw_emulation.h"
#include "res/resource.h"
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
const std::string kNeedsAdmin = "QuorvelTraceCmd: this command needs administrator rights; nothing was done. Run it "
                                "from an elevated prompt, or as SYSTEM (Intune, Configuration Manager, a scheduled task).\r\n";

struct Result {
    int code = -1;
    std::string out, err; // UTF-8, as written
};

// The command line through the program's entry, its output through real files; or, with `program`, the built
// QuorvelTraceCmd.exe as a child process under `token` (null: this process's).
Result Command(std::vector<const WCHAR*> args, bool program = false, HANDLE token = nullptr)
{
    TempDir dir;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW((dir / L"out").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW((dir / L"err").c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
    Result result;
    if (!program) {
        args.insert(args.begin(), L"QuorvelTraceCmd");
        result.code = RunConsoleCommand((int)args.size(), (WCHAR**)args.data(), out, err);
    } else {
        WCHAR path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path, wcsrchr(path, L'\\') + 1) + L"QuorvelTraceCmd.exe\"";
        for (const WCHAR* arg : args)
            command += std::wstring(L" \"") + arg + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION process = {};
        BOOL started = token != nullptr
            ? CreateProcessAsUserW(token, nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                &process)
            : CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
        EXPECT_TRUE(started);
        DWORD code = (DWORD)-1;
        if (started && WaitForSingleObject(process.hProcess, UI_WAIT_MS) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        result.code = (int)code;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
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
    DWORD size = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    EXPECT_TRUE(GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &size));
    CloseHandle(token);
    TOKEN_ELEVATION elevation = {1};
    EXPECT_TRUE(GetTokenInformation(linked.LinkedToken, TokenElevation, &elevation, sizeof(elevation), &size));
    EXPECT_EQ(0u, elevation.TokenIsElevated);
    return linked.LinkedToken;
}

class ConsoleTest : public testing::Test {
protected:
    PersistentTracingCleanup cleanup;
    TempDir temp;
};

// Status, enable (twice: the session runs on), the log at a size users reach, status as text and JSON, save against
// the main dialog's "Save the log", bundle, disable.
TEST_F(ConsoleTest, StatusEnableSaveBundleDisable)
{
    Result r = Command({L"status"});
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("Persistent tracing: not registered\r\nFile session \"Quorvel\": not running\r\nLog files in " + kDirectory
            + ": none\r\n",
        r.out);
    r = Command({L"enable", L"--level", L"2"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("Persistent tracing enabled at level 2 (Error): the file session \"Quorvel\" writes " + kDirectory
            + "\\Quorvel.etl, and Windows starts it again at every boot.\r\n",
        r.out);
    EXPECT_EQ(2u, ReadMachineValue(kFirstProvider, L"EnableLevel").AsDword());
    r = Command({L"ENABLE"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("Persistent tracing registered at level 5 (Verbose); the file session \"Quorvel\" was already running and "
              "keeps its level until the next restart.\r\n",
        r.out);
    EXPECT_EQ(5u, ReadMachineValue(kFirstProvider, L"EnableLevel").AsDword());
    EXPECT_EQ(13u, MachineNames(kKey, true).size());
    EXPECT_TRUE(EtwEmuSessionRunning(L"Quorvel"));

    // The session still takes levels up to 2. A level 0 event and an empty one are no lines of the export, nor counted.
    const std::tuple<LONGLONG, UCHAR, std::string> kEvents[] = {{kMarch1 - 1, 1, Payload(L"Reader::Open(42) : card")},
        {kMarch1, 0, Payload(L"level 0")}, {kMarch1, 2, ""}, {kMarch1, 3, Payload(L"level 3")},
        {kMarch1 + 12340000, 2, Payload(L"Pin::Verify(7) : PIN")}};
    for (const auto& [stamp, level, payload] : kEvents)
        EtwEmuLogEvent(&providerTable[level % 6], level, 1, 2, stamp, payload.data(), (ULONG)payload.size());
    std::vector<std::string> payloads(200000);
    std::vector<EtwEmuFileEvent> older(payloads.size());
    for (size_t i = 0; i < older.size(); ++i) {
        payloads[i] = Payload(L"older " + std::to_wstring(i));
        older[i] = {providerTable[1], 4, 4242, 77, kMarch1 + (LONGLONG)i * 10000, payloads[i].data(),
            (ULONG)payloads[i].size()};
    }
    ASSERT_EQ(0u, EtwEmuWriteLogFile(LogPath(L".001").c_str(), L"Quorvel", older.data(), older.size()));
    ASSERT_EQ(0u, EtwEmuSetLogFileLosses(LogPath(L".001").c_str(), 7, 3));
    ASSERT_TRUE(WriteFileBytes(LogPath(L".002"), "abc"));
    const std::string sizes[] = {std::to_string(ReadFileBytes(LogPath(L"")).size()),
        std::to_string(ReadFileBytes(LogPath(L".001")).size())};
    const std::string kCorrupt = "0x00000570 - File or directory corrupt.";

    r = Command({L"status"});
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("Persistent tracing: registered, level 5 (Verbose)\r\nFile session \"Quorvel\": running, 0 event(s) lost\r\n"
              "Log files in " + kDirectory + ":\r\n  Quorvel.etl: " + sizes[0] + " bytes, 2 event(s) from 2024-02-29 "
              "23:59:59.999 to 2024-03-01 00:00:01.234 UTC, lost while written: 0 event(s), 0 buffer(s)\r\n"
              "  Quorvel.etl.001: " + sizes[1] + " bytes, 200000 event(s) from 2024-03-01 00:00:00.000 to 2024-03-01 "
              "00:03:19.999 UTC, lost while written: 7 event(s), 3 buffer(s)\r\n"
              "  Quorvel.etl.002: 3 bytes, not readable as a log: " + kCorrupt + "\r\n",
        r.out);
    const std::string filesJson = "{\"name\":\"Quorvel.etl\",\"bytes\":" + sizes[0] + "%0,\"events\":2,\"firstEvent\":"
        "\"2024-02-29T23:59:59.999Z\",\"lastEvent\":\"2024-03-01T00:00:01.234Z\",\"eventsLost\":0,\"buffersLost\":0},"
        "{\"name\":\"Quorvel.etl.001\",\"bytes\":" + sizes[1] + "%1,\"events\":200000,\"firstEvent\":\"2024-03-01T00:00:"
        "00.000Z\",\"lastEvent\":\"2024-03-01T00:03:19.999Z\",\"eventsLost\":7,\"buffersLost\":3},{\"name\":\"Quorvel."
        "etl.002\",\"bytes\":3%2,\"status\":1392,\"error\":\"" + kCorrupt + "\"}]}\r\n";
    r = Command({L"status", L"--JSON"});
    EXPECT_EQ("{\"registration\":{\"registered\":true,\"level\":5,\"providersWithLevel\":6},\"session\":{\"name\":"
              "\"Quorvel\",\"running\":true,\"eventsLost\":0},\"logDirectory\":\"C:\\\\windows\\\\System32\\\\LogFiles"
              "\\\\WMI\",\"files\":[" + std::regex_replace(filesJson, std::regex("%[0-9]"), ""),
        r.out);

    const std::wstring saved = temp / L"saved.txt", byDialog = temp / L"dialog.txt";
    ASSERT_TRUE(WriteFileBytes(saved, std::string(100, 'x'))); // replaced
    r = Command({L"save", saved.c_str()});
    EXPECT_EQ(0, r.code) << r.err;
    const std::string exported = ReadFileBytes(saved);
    EXPECT_EQ("Saved the log to " + Narrow(saved) + " (" + std::to_string(exported.size()) + " bytes).\r\n", r.out);
    UiDialogRun* run = StartModalDialog(IDD_MAIN, MainDlgProc, 0);
    HWND dialog = WaitForWindow(L"#32770", L"Quorvel Tracing");
    ClickButton(dialog, IDC_ADVANCED);
    ClickButton(dialog, IDC_SAVE_LOG);
    ASSERT_TRUE(AnswerSaveDialog(dialog, byDialog.c_str()));
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(byDialog).size() == exported.size(); }));
    EXPECT_TRUE(ReadFileBytes(byDialog) == exported) << "the main dialog's save differs";
    CloseWithCloseBox(dialog);
    EXPECT_EQ(0, FinishUiThread(run));
    EXPECT_EQ(std::string("=\0=\0", 4), exported.substr(0, 4)); // UTF-16LE, no byte-order mark

    // Into a folder and its parents, a non-ASCII name among them; a copy left by an earlier bundle of a log file
    // gone since is removed. Every value of the registration is listed, escaped.
    const std::wstring bundle = temp / L"share\\PC-\u00dc";
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey.c_str(), L"Note", REG_SZ, L"\u00dc\"\\\n", 10);
    r = Command({L"bundle", bundle.c_str()});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("Bundle written to " + Narrow(temp.path()) + "\\share\\PC-\xc3\x9c: QuorvelTrace.txt, Quorvel.etl, Quorvel.etl.001, "
              "Quorvel.etl.002, manifest.json.\r\n",
        r.out);
    EXPECT_TRUE(ReadFileBytes(bundle + L"\\QuorvelTrace.txt") == exported);
    std::string copies[3];
    for (int i = 0; i < 3; ++i) {
        copies[i] = ReadFileBytes(bundle + L"\\" + (i == 0 ? L"Quorvel.etl" : L"Quorvel.etl.00" + std::to_wstring(i)));
        EXPECT_TRUE(copies[i] == ReadFileBytes(LogPath(i == 0 ? L"" : (L".00" + std::to_wstring(i)).c_str()))) << i;
    }
    const std::string manifest = ReadFileBytes(bundle + L"\\manifest.json");
    std::string files = filesJson;
    for (int i = 0; i < 3; ++i) // "abc": the standard's own test vector
        files.replace(files.find("%" + std::to_string(i)), 2,
            ",\"sha256\":\"" + (i < 2 ? Sha256(copies[i]) : "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") + "\"");
    EXPECT_EQ(manifest.size() - files.size(), manifest.rfind(",\"files\":[" + files) + 10) << manifest;
    for (const std::string& part : {"\"export\":{\"name\":\"QuorvelTrace.txt\",\"bytes\":" + std::to_string(exported.size())
                                        + ",\"sha256\":\"" + Sha256(exported) + "\"}",
             std::string("{\"program\":\"QuorvelTraceCmd 2.1.0.0\",\"created\":\""),
             std::string("\"timeZone\":{\"name\":\"Central Europe Standard Time\","),
             std::string("\"Note\":\"\\u00dc\\\"\\\\\\u000a\","),
             std::string("\"FileName\":\"C:\\\\windows\\\\System32\\\\LogFiles\\\\WMI\\\\Quorvel.etl\",\"FlushTimer\":0,"),
             std::string("\"{8e4f1a15-6b3c-4f21-a502-3d7c9144e006}\":{\"values\":{\"Enabled\":1,\"EnableLevel\":5,"
                         "\"EnableProperty\":0,\"MatchAllKeyword\":0,\"MatchAnyKeyword\":0,\"Status\":0},\"keys\":{}}}}}")})
        EXPECT_NE(std::string::npos, manifest.find(part)) << part;
    ASSERT_TRUE(WriteFileBytes(bundle + L"\\Quorvel.etl.005", "left by an earlier bundle"));
    EXPECT_EQ(0, Command({L"bundle", bundle.c_str()}).code);
    EXPECT_FALSE(PathExists(bundle + L"\\Quorvel.etl.005"));

    r = Command({L"disable"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("Persistent tracing disabled: the file session \"Quorvel\" is stopped and the registration removed; the "
              "log files stay in " + kDirectory + ".\r\n",
        r.out);
    EXPECT_FALSE(MachineKeyExists(kKey));
    EXPECT_FALSE(EtwEmuSessionRunning(L"Quorvel"));
    EXPECT_TRUE(PathExists(LogPath(L"")));
}

// Each failure names its step, code and the system's text; bad arguments print the usage; without administrator
// rights nothing is done.
TEST_F(ConsoleTest, FailuresNameTheirStep)
{
    const std::wstring missing = temp / L"missing\\log.txt", file = temp / L"file", folder = temp / L"folder";
    Result r = Command({L"save", missing.c_str()});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("QuorvelTraceCmd: save: writing the export " + Narrow(missing) + " failed: 0x00000003 - Path not found.\r\n",
        r.err);
    r = Command({L"save", file.c_str()}); // no log at all
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("QuorvelTraceCmd: save: there is no log file in " + kDirectory + "; " + Narrow(file) + " is empty.\r\n",
        r.err);
    CreateDirectoryW(LogPath(L"").substr(0, kDirectory.size()).c_str(), nullptr);
    ASSERT_TRUE(WriteFileBytes(LogPath(L".008"), "not a log"));
    r = Command({L"save", file.c_str()});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("QuorvelTraceCmd: save: reading " + kDirectory + "\\Quorvel.etl.008 failed: 0x00000570 - File or directory corrupt. No log "
              "file could be read; " + Narrow(file) + " is empty.\r\n",
        r.err);
    EXPECT_TRUE(PathExists(file) && ReadFileBytes(file).empty());
    r = Command({L"bundle", file.c_str()});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("QuorvelTraceCmd: bundle: creating the folder " + Narrow(file) + " failed: 0x000000B7 - File already exists.\r\n",
        r.err);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) && CreateDirectoryW((folder + L"\\QuorvelTrace.txt").c_str(), nullptr));
    r = Command({L"bundle", folder.c_str()});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("QuorvelTraceCmd: bundle: writing the export " + Narrow(folder) + "\\QuorvelTrace.txt failed: 0x00000005 - "
              "Access denied.\r\n",
        r.err);
    EtwEmuReset(); // the failures count the calls since
    EtwEmuFailCall(kEmuStartTrace, 1, ERROR_ACCESS_DENIED);
    r = Command({L"enable"});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("QuorvelTraceCmd: enable: starting the file session \"Quorvel\" failed: 0x00000005 - Access denied.\r\n",
        r.err);
    // A registration changed by hand: one provider without a level, then one at another level.
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kFirstProvider.c_str(), L"EnableLevel");
    for (const char* line : {"registered, level 5 (Verbose) for 5 of 6 providers\r\n", "registered, the providers' levels differ\r\n"}) {
        r = Command({L"status"});
        EXPECT_EQ("Persistent tracing: " + std::string(line), r.out.substr(0, 20 + strlen(line)));
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kFirstProvider.c_str(), L"EnableLevel", REG_DWORD, "\3\0\0\0", 4);
    }
    EtwEmuReset();
    EtwEmuFailCall(kEmuControlTrace, 1, 0x2000FFFF);
    r = Command({L"disable"});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("QuorvelTraceCmd: disable: stopping the file session \"Quorvel\" failed: 0x2000FFFF - no description "
              "available\r\n",
        r.err);
    EXPECT_TRUE(MachineKeyExists(kKey));
    EXPECT_EQ("", r.out);

    const std::vector<const WCHAR*> badRows[] = {{}, {L"start"}, {L"status", L"--text"}, {L"status", L"--json", L"--json"},
        {L"enable", L"--level"}, {L"enable", L"--level", L"0"}, {L"enable", L"--level", L"6"}, {L"enable", L"--level", L"55"},
        {L"enable", L"5"}, {L"disable", L"now"}, {L"save"}, {L"save", L""}, {L"save", L"a", L"b"}, {L"bundle"}};
    const char* reasons[] = {"no command given.", "unknown command \"start\".", "status takes only --json.",
        "status takes only --json.", "enable takes only --level N.", "--level takes a level from 1 (Critical) to 5 (Verbose).",
        "--level takes a level from 1 (Critical) to 5 (Verbose).", "--level takes a level from 1 (Critical) to 5 (Verbose).",
        "enable takes only --level N.", "disable takes no arguments.", "save takes one FILE.", "save takes one FILE.",
        "save takes one FILE.", "bundle takes one FOLDER."};
    for (size_t i = 0; i < std::size(badRows); ++i) {
        r = Command(badRows[i]);
        EXPECT_EQ(2, r.code) << i;
        const std::string expected = "QuorvelTraceCmd: " + std::string(reasons[i]) + "\r\n\r\n" + kUsage;
        EXPECT_EQ(expected, r.err.substr(0, expected.size())) << i;
        EXPECT_EQ("", r.out) << i;
    }
    for (const std::vector<const WCHAR*>& help : {std::vector<const WCHAR*>{L"--help"}, {L"enable", L"-H"}, {L"save", L"/?"}}) {
        r = Command(help);
        EXPECT_EQ(0, r.code);
        EXPECT_EQ(kUsage, r.out.substr(0, kUsage.size()));
    }

    // A token that is not elevated: refused before anything is done; status reads what it may.
    cleanup.Clean();
    HANDLE limited = LimitedToken();
    ASSERT_TRUE(ImpersonateLoggedOnUser(limited));
    for (const std::vector<const WCHAR*>& command : {std::vector<const WCHAR*>{L"enable"}, {L"disable"},
             {L"save", file.c_str()}, {L"bundle", folder.c_str()}}) {
        r = Command(command);
        EXPECT_EQ(3, r.code) << Narrow(command[0]);
        EXPECT_EQ(kNeedsAdmin, r.err);
    }
    r = Command({L"status"});
    RevertToSelf();
    CloseHandle(limited);
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("Persistent tracing: not registered\r\n", r.out.substr(0, 36));
    EXPECT_TRUE(ReadFileBytes(file).empty() && !MachineKeyExists(kKey) && !EtwEmuSessionRunning(L"Quorvel"));
}

// The real build: Wine's StartTraceW pretends to succeed and its ControlTraceW answers every query with 0, so the file
// session always looks "running"; its OpenTraceW refuses with 5. The registry is real.
TEST(ConsoleProgramTest, RealBuildUnderWine)
{
    PersistentTracingCleanup cleanup;
    Result r = Command({L"--help"}, true);
    EXPECT_EQ(0, r.code);
    EXPECT_EQ(kUsage, r.out.substr(0, kUsage.size()));
    r = Command({L"enable", L"--level", L"9"}, true);
    EXPECT_EQ(2, r.code);
    const std::string bad = "QuorvelTraceCmd: --level takes a level from 1 (Critical) to 5 (Verbose).\r\n\r\n" + kUsage;
    EXPECT_EQ(bad, r.err.substr(0, bad.size()));
    HANDLE limited = LimitedToken();
    r = Command({L"enable"}, true, limited);
    CloseHandle(limited);
    EXPECT_EQ(3, r.code);
    EXPECT_EQ(kNeedsAdmin, r.err);
    EXPECT_FALSE(MachineKeyExists(kKey));

    r = Command({L"enable", L"--level", L"4"}, true);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ(4u, ReadMachineValue(kFirstProvider, L"EnableLevel").AsDword());
    ASSERT_TRUE(WriteFileBytes(LogPath(L""), "abc"));
    r = Command({L"status"}, true);
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("Persistent tracing: registered, level 4 (Information)\r\nFile session \"Quorvel\": running, 0 event(s) "
              "lost\r\nLog files in " + kDirectory + ":\r\n  Quorvel.etl: 3 bytes, not readable as a log: 0x00000005 - "
              "Access denied.\r\n",
        r.out);
    r = Command({L"disable"}, true);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_FALSE(MachineKeyExists(kKey));
}

} // namespace
