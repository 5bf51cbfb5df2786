// The autologger registration: exactly what Enable writes, what a refused
// write leaves, and what Disable removes.
#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
#include "test_support/temp_dir.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const std::wstring kKey = L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\Quorvel";

// GUID text built independently of the program: the system's text, lowered.
std::wstring GuidText(const GUID& guid)
{
    WCHAR text[64];
    StringFromGUID2(guid, text, 64);
    CharLowerW(text);
    return text;
}

std::wstring ProviderKey(int index)
{
    return kKey + L"\\" + GuidText(providerTable[index]);
}

size_t StartCalls()
{
    size_t count = 0;
    EtwEmuCall call;
    for (size_t i = 0; i < EtwEmuCallCount(); ++i)
        count += EtwEmuGetCall(i, &call) && call.function == kEmuStartTrace;
    return count;
}

// Registry calls that can be made to fail for one key path or value name.
std::wstring refuseKeyContaining;
std::wstring refuseValueNamed;
std::wstring refuseDeleteContaining;
std::vector<std::wstring> deletedKeys;
std::vector<std::wstring> valuesSet;  // names in the order they were written
int keysCreated = 0;

// The patched functions call the real ones through these: the test's own
// calls go through the same import table.
decltype(&RegCreateKeyExW) realRegCreateKeyExW;
decltype(&RegSetValueExW) realRegSetValueExW;
decltype(&RegDeleteKeyW) realRegDeleteKeyW;

LONG WINAPI RefusingRegCreateKeyExW(HKEY root, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                    DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                                    PHKEY result, LPDWORD disposition)
{
    if (!refuseKeyContaining.empty() && wcsstr(subKey, refuseKeyContaining.c_str()) != nullptr)
        return ERROR_ACCESS_DENIED;
    ++keysCreated;
    return realRegCreateKeyExW(root, subKey, reserved, keyClass, options, access, security, result, disposition);
}

LONG WINAPI RefusingRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD size)
{
    if (!refuseValueNamed.empty() && name != nullptr && refuseValueNamed == name)
        return ERROR_ACCESS_DENIED;
    valuesSet.push_back(name != nullptr ? name : L"");
    return realRegSetValueExW(key, name, reserved, type, data, size);
}

LONG WINAPI RecordingRegDeleteKeyW(HKEY root, LPCWSTR subKey)
{
    deletedKeys.push_back(subKey);
    if (!refuseDeleteContaining.empty() && wcsstr(subKey, refuseDeleteContaining.c_str()) != nullptr)
        return ERROR_ACCESS_DENIED;
    return realRegDeleteKeyW(root, subKey);
}

class AutologgerTest : public testing::Test {
protected:
    void SetUp() override
    {
        refuseKeyContaining.clear();
        refuseValueNamed.clear();
        refuseDeleteContaining.clear();
        deletedKeys.clear();
        valuesSet.clear();
        keysCreated = 0;
    }

    // Wine lists values sorted by name; the order of writing is checked
    // through the recorded calls instead.
    static std::vector<std::wstring> Sorted(std::vector<std::wstring> names)
    {
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectDword(const std::wstring& key, const WCHAR* name, DWORD expected)
    {
        RegistryValue value = ReadMachineValue(key, name);
        SCOPED_TRACE(testing::Message() << "value " << std::string(name, name + wcslen(name)));
        EXPECT_TRUE(value.exists);
        EXPECT_EQ((DWORD)REG_DWORD, value.type);
        EXPECT_EQ(4u, value.data.size());
        EXPECT_EQ(expected, value.AsDword());
    }

    void ExpectQwordZero(const std::wstring& key, const WCHAR* name)
    {
        RegistryValue value = ReadMachineValue(key, name);
        EXPECT_EQ((DWORD)REG_QWORD, value.type);
        EXPECT_EQ(8u, value.data.size());
        EXPECT_EQ(0u, value.AsQword());
    }

    void ExpectCompleteProviderKey(int index, DWORD level)
    {
        SCOPED_TRACE(testing::Message() << "provider " << index);
        std::wstring key = ProviderKey(index);
        EXPECT_EQ(Sorted({L"Enabled", L"EnableLevel", L"EnableProperty", L"Status", L"MatchAllKeyword",
                          L"MatchAnyKeyword"}),
                  Sorted(MachineValueNames(key)));
        ExpectDword(key, L"Enabled", 1);
        ExpectDword(key, L"EnableLevel", level);
        ExpectDword(key, L"EnableProperty", 0);
        ExpectDword(key, L"Status", 0);
        ExpectQwordZero(key, L"MatchAllKeyword");
        ExpectQwordZero(key, L"MatchAnyKeyword");
    }

    PersistentTracingCleanup cleanup;
};

TEST_F(AutologgerTest, EnableWritesExactlyTheRegistration)
{
    ImportPatch create("advapi32.dll", "RegCreateKeyExW", (void*)RefusingRegCreateKeyExW);
    ImportPatch set("advapi32.dll", "RegSetValueExW", (void*)RefusingRegSetValueExW);
    realRegCreateKeyExW = create.original<decltype(&RegCreateKeyExW)>();
    realRegSetValueExW = set.original<decltype(&RegSetValueExW)>();
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(EnablePersistentTracing(5));
    EXPECT_EQ(0u, GetLastError());

    std::vector<std::wstring> sessionValues = {L"Guid", L"FileName", L"FileMax", L"Start", L"BufferSize",
                                               L"FlushTimer", L"MaximumBuffers", L"MinimumBuffers",
                                               L"ClockType", L"MaxFileSize", L"LogFileMode",
                                               L"FileCounter", L"Status"};
    std::vector<std::wstring> written = sessionValues;
    for (int i = 0; i < PROVIDER_COUNT; ++i) {
        for (const WCHAR* name : {L"Enabled", L"EnableLevel", L"EnableProperty", L"Status", L"MatchAllKeyword",
                                  L"MatchAnyKeyword"})
            written.push_back(name);
    }
    EXPECT_EQ(written, valuesSet);
    EXPECT_EQ(49, keysCreated);  // one create, set and close per value
    EXPECT_EQ(Sorted(sessionValues), Sorted(MachineValueNames(kKey)));

    RegistryValue guid = ReadMachineValue(kKey, L"Guid");
    EXPECT_EQ((DWORD)REG_SZ, guid.type);
    EXPECT_EQ(GuidText(fileSessionGuid), guid.AsString());
    EXPECT_EQ(38u, guid.AsString().size());
    EXPECT_EQ(39u * 2, guid.data.size());  // the terminator is counted

    WCHAR windows[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    std::wstring expectedFile = std::wstring(windows, length) + L"\\System32\\LogFiles\\WMI\\Quorvel.etl";
    RegistryValue fileName = ReadMachineValue(kKey, L"FileName");
    EXPECT_EQ((DWORD)REG_SZ, fileName.type);
    EXPECT_EQ(expectedFile, fileName.AsString());
    EXPECT_EQ((expectedFile.size() + 1) * 2, fileName.data.size());

    const struct { const WCHAR* name; DWORD value; } dwords[] = {
        {L"FileMax", 8}, {L"Start", 1}, {L"BufferSize", 8}, {L"FlushTimer", 0},
        {L"MaximumBuffers", 0}, {L"MinimumBuffers", 0}, {L"ClockType", 1}, {L"MaxFileSize", 64},
        {L"LogFileMode", 0x1300}, {L"FileCounter", 5}, {L"Status", 0},
    };
    for (const auto& d : dwords)
        ExpectDword(kKey, d.name, d.value);

    std::vector<std::wstring> subkeys = MachineSubkeyNames(kKey);
    ASSERT_EQ(6u, subkeys.size());
    for (int i = 0; i < PROVIDER_COUNT; ++i)
        ExpectCompleteProviderKey(i, 5);

    // The file session runs at once and writes the file the registration names.
    EXPECT_TRUE(EtwEmuSessionRunning(L"Quorvel"));
    EXPECT_TRUE(PathExists(expectedFile));
    EXPECT_TRUE(IsPersistentTracingEnabled());
}

TEST_F(AutologgerTest, EnableOverwritesItsValuesAndKeepsOtherContent)
{
    DWORD seven = 7;
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue(kKey.c_str(), L"Start", REG_DWORD, &seven, 4));
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue(kKey.c_str(), L"Other", REG_DWORD, &seven, 4));
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue((ProviderKey(2) + L"\\Keep").c_str(), L"Mine",
                                                REG_DWORD, &seven, 4));
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue(ProviderKey(2).c_str(), L"EnableLevel", REG_DWORD, &seven, 4));

    ASSERT_TRUE(EnablePersistentTracing(5));
    ExpectDword(kKey, L"Start", 1);
    ExpectDword(kKey, L"Other", 7);
    ExpectDword(ProviderKey(2), L"EnableLevel", 5);
    ExpectDword(ProviderKey(2) + L"\\Keep", L"Mine", 7);
}

TEST_F(AutologgerTest, RefusedWriteLeavesEarlierValuesAndReportsItsStatus)
{
    ImportPatch create("advapi32.dll", "RegCreateKeyExW", (void*)RefusingRegCreateKeyExW);
    ImportPatch set("advapi32.dll", "RegSetValueExW", (void*)RefusingRegSetValueExW);
    ASSERT_TRUE(create.active());
    ASSERT_TRUE(set.active());
    realRegCreateKeyExW = create.original<decltype(&RegCreateKeyExW)>();
    realRegSetValueExW = set.original<decltype(&RegSetValueExW)>();

    // A value of the autologger key itself.
    refuseValueNamed = L"BufferSize";
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnablePersistentTracing(5));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(Sorted({L"Guid", L"FileName", L"FileMax", L"Start"}), Sorted(MachineValueNames(kKey)));
    EXPECT_TRUE(MachineSubkeyNames(kKey).empty());
    EXPECT_EQ(0u, StartCalls());
    EXPECT_TRUE(IsPersistentTracingEnabled());  // partly registered counts as enabled

    // The third provider's key.
    DeleteMachineTree(kKey);
    refuseValueNamed.clear();
    refuseKeyContaining = GuidText(providerTable[2]);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnablePersistentTracing(5));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(13u, MachineValueNames(kKey).size());
    EXPECT_EQ(2u, MachineSubkeyNames(kKey).size());
    ExpectCompleteProviderKey(0, 5);
    ExpectCompleteProviderKey(1, 5);
    EXPECT_FALSE(MachineKeyExists(ProviderKey(2)));
    EXPECT_EQ(0u, StartCalls());
}

TEST_F(AutologgerTest, FailedStartKeepsTheCompleteRegistration)
{
    EtwEmuFailCall(kEmuStartTrace, 1, ERROR_ACCESS_DENIED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnablePersistentTracing(5));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(13u, MachineValueNames(kKey).size());
    for (int i = 0; i < PROVIDER_COUNT; ++i)
        ExpectCompleteProviderKey(i, 5);
    EXPECT_FALSE(EtwEmuSessionRunning(L"Quorvel"));
}

TEST_F(AutologgerTest, DisableStopsTheSessionAndDeletesTheRegistration)
{
    // Registered with the session running.
    ASSERT_TRUE(EnablePersistentTracing(5));
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(DisablePersistentTracing());
    EXPECT_EQ(0u, GetLastError());
    EXPECT_FALSE(EtwEmuSessionRunning(L"Quorvel"));
    EXPECT_FALSE(MachineKeyExists(kKey));
    EXPECT_FALSE(IsPersistentTracingEnabled());
    // The parent key of the autologgers stays.
    EXPECT_TRUE(MachineKeyExists(L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger"));

    // Registered, session stopped from outside.
    ASSERT_TRUE(EnablePersistentTracing(5));
    ASSERT_TRUE(StopTraceSession(TRUE));
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(DisablePersistentTracing());
    EXPECT_EQ(0u, GetLastError());
    EXPECT_FALSE(MachineKeyExists(kKey));

    // Neither session nor key.
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(DisablePersistentTracing());
    EXPECT_EQ(0u, GetLastError());
}

TEST_F(AutologgerTest, DisableWhoseStopFailsTouchesNothing)
{
    ASSERT_TRUE(EnablePersistentTracing(5));
    EtwEmuFailCall(kEmuControlTrace, 1, ERROR_ACCESS_DENIED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DisablePersistentTracing());
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(EtwEmuSessionRunning(L"Quorvel"));
    EXPECT_EQ(6u, MachineSubkeyNames(kKey).size());
}

TEST_F(AutologgerTest, DisableReportsARegistrationThatCannotBeDeleted)
{
    ASSERT_TRUE(EnablePersistentTracing(5));
    ImportPatch remove("advapi32.dll", "RegDeleteKeyW", (void*)RecordingRegDeleteKeyW);
    ASSERT_TRUE(remove.active());
    realRegDeleteKeyW = remove.original<decltype(&RegDeleteKeyW)>();
    refuseDeleteContaining = GuidText(providerTable[1]);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DisablePersistentTracing());
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    // The stop stays done; the registration stays, and the status says so.
    EXPECT_FALSE(EtwEmuSessionRunning(L"Quorvel"));
    EXPECT_TRUE(IsPersistentTracingEnabled());
    EXPECT_TRUE(MachineKeyExists(ProviderKey(1)));
    EXPECT_FALSE(MachineKeyExists(ProviderKey(0)));  // the first child went before the refusal
}

TEST_F(AutologgerTest, DeleteRegistryTreeOrderAndEdges)
{
    ImportPatch remove("advapi32.dll", "RegDeleteKeyW", (void*)RecordingRegDeleteKeyW);
    ASSERT_TRUE(remove.active());
    realRegDeleteKeyW = remove.original<decltype(&RegDeleteKeyW)>();
    WCHAR path[REGISTRY_PATH_UNITS + 2];

    // Missing key.
    wcscpy(path, kKey.c_str());
    EXPECT_TRUE(DeleteRegistryTree(path));
    EXPECT_EQ(kKey, path);

    // A key without subkeys goes at the first attempt.
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue(kKey.c_str(), L"Value", REG_DWORD, &one, 4));
    deletedKeys.clear();
    EXPECT_TRUE(DeleteRegistryTree(path));
    EXPECT_EQ(std::vector<std::wstring>{kKey}, deletedKeys);
    EXPECT_FALSE(MachineKeyExists(kKey));

    // The full registration: the six provider keys first, then the key.
    ASSERT_TRUE(EnablePersistentTracing(5));
    deletedKeys.clear();
    EXPECT_TRUE(DeleteRegistryTree(path));
    EXPECT_FALSE(MachineKeyExists(kKey));
    EXPECT_EQ(kKey, path);  // the caller's text is restored
    ASSERT_EQ(8u, deletedKeys.size());  // a failed first try, six children, the key
    EXPECT_EQ(kKey, deletedKeys.front());
    EXPECT_EQ(kKey, deletedKeys.back());
    std::vector<std::wstring> children(deletedKeys.begin() + 1, deletedKeys.end() - 1);
    for (int i = 0; i < PROVIDER_COUNT; ++i) {
        EXPECT_NE(children.end(), std::find(children.begin(), children.end(), ProviderKey(i)))
            << "provider " << i;
    }
}

TEST_F(AutologgerTest, DeleteRegistryTreeNeverWritesPastItsBuffer)
{
    // Registry key names go up to 255 characters; two levels of them exceed
    // the 520-unit path buffer.
    std::wstring deep = kKey + L"\\" + std::wstring(255, L'a') + L"\\" + std::wstring(255, L'b');
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue(deep.c_str(), L"Value", REG_DWORD, &one, 4));

    WCHAR path[REGISTRY_PATH_UNITS + 2];
    wmemset(path, 0x5A5A, REGISTRY_PATH_UNITS + 2);
    wcscpy(path, kKey.c_str());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteRegistryTree(path));
    EXPECT_NE(0u, GetLastError());
    EXPECT_EQ(0x5A5A, path[REGISTRY_PATH_UNITS]);
    EXPECT_EQ(0x5A5A, path[REGISTRY_PATH_UNITS + 1]);
    EXPECT_EQ(kKey, path);
    EXPECT_TRUE(MachineKeyExists(deep));
}

TEST_F(AutologgerTest, StatusQueryIsTrueForAnEmptyKey)
{
    EXPECT_FALSE(IsPersistentTracingEnabled());
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &key, nullptr));
    RegCloseKey(key);
    EXPECT_TRUE(IsPersistentTracingEnabled());
}

}  // namespace
