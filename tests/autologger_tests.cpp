// The autologger registration: exactly what Enable writes, what a failing
// step leaves and what Disable removes.
#include <gtest/gtest.h>

#include <objbase.h>

#include <algorithm>
#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
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

std::wstring ProviderKey(size_t index)
{
    return kKey + L"\\" + GuidText(providerTable[index]);
}

// Wine lists names sorted: compared as sets.
std::vector<std::wstring> Sorted(std::vector<std::wstring> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

struct Value {
    const WCHAR* name;
    DWORD type;
    ULONGLONG number;
    std::wstring text = L"";
};

// The key's first `sessionValues` values (in the order of writing) and first
// `providerKeys` provider keys, complete but the last, which has `lastValues`:
// each value with its type and exact bytes (strings with their terminator).
void ExpectRegistration(size_t sessionValues, size_t providerKeys, size_t lastValues)
{
    WCHAR windows[MAX_PATH];
    std::wstring windowsDirectory(windows, GetSystemWindowsDirectoryW(windows, MAX_PATH));
    const std::vector<Value> session = {
        {L"Guid", REG_SZ, 0, GuidText(fileSessionGuid)},
        {L"FileName", REG_SZ, 0, windowsDirectory + L"\\System32\\LogFiles\\WMI\\Quorvel.etl"},
        {L"FileMax", REG_DWORD, 8}, {L"Start", REG_DWORD, 1}, {L"BufferSize", REG_DWORD, 8},
        {L"FlushTimer", REG_DWORD, 0}, {L"MaximumBuffers", REG_DWORD, 0}, {L"MinimumBuffers", REG_DWORD, 0},
        {L"ClockType", REG_DWORD, 1}, {L"MaxFileSize", REG_DWORD, 64}, {L"LogFileMode", REG_DWORD, 0x1300},
        {L"FileCounter", REG_DWORD, 5}, {L"Status", REG_DWORD, 0}};
    const std::vector<Value> provider = {
        {L"Enabled", REG_DWORD, 1}, {L"EnableLevel", REG_DWORD, 5}, {L"EnableProperty", REG_DWORD, 0},
        {L"Status", REG_DWORD, 0}, {L"MatchAllKeyword", REG_QWORD, 0}, {L"MatchAnyKeyword", REG_QWORD, 0}};
    std::vector<std::wstring> keys;
    for (size_t k = 0; k <= providerKeys; ++k) {
        SCOPED_TRACE(k == 0 ? std::string("the autologger key") : "provider key " + std::to_string(k - 1));
        std::wstring key = k == 0 ? kKey : ProviderKey(k - 1);
        size_t count = k == 0 ? sessionValues : k == providerKeys ? lastValues : provider.size();
        const std::vector<Value>& all = k == 0 ? session : provider;
        std::vector<std::wstring> names;
        for (size_t i = 0; i < count; ++i) {
            const Value& value = all[i];
            RegistryValue actual = ReadMachineValue(key, value.name);
            const BYTE* bytes = value.type == REG_SZ ? (const BYTE*)value.text.c_str() : (const BYTE*)&value.number;
            size_t size = value.type == REG_SZ ? (value.text.size() + 1) * 2 : value.type == REG_DWORD ? 4 : 8;
            EXPECT_EQ(value.type, actual.type) << std::string(value.name, value.name + wcslen(value.name));
            EXPECT_EQ(std::vector<BYTE>(bytes, bytes + size), actual.data) << i;
            names.push_back(value.name);
        }
        EXPECT_EQ(Sorted(names), Sorted(MachineValueNames(key)));
        if (k > 0)
            keys.push_back(GuidText(providerTable[k - 1]));
    }
    EXPECT_EQ(Sorted(keys), Sorted(MachineSubkeyNames(kKey)));
}

// Writing a value named `refuseValue` is refused, and opening a key for
// changes while `readOnly`.
std::wstring refuseValue;
bool readOnly;
decltype(&RegSetValueExW) realSet;
decltype(&RegOpenKeyExW) realOpen;

LONG WINAPI RefusingRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    if (readOnly && (access & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY)) != 0)
        return ERROR_ACCESS_DENIED;
    return realOpen(root, subKey, options, access, result);
}

LONG WINAPI RefusingRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    if (name != nullptr && refuseValue == name)
        return ERROR_ACCESS_DENIED;
    return realSet(key, name, reserved, type, data, size);
}

class AutologgerTest : public testing::Test {
protected:
    void SetUp() override
    {
        refuseValue.clear();
        ASSERT_TRUE(set.active() && open.active());
        realSet = set.original<decltype(&RegSetValueExW)>();
        realOpen = open.original<decltype(&RegOpenKeyExW)>();
    }

    PersistentTracingCleanup cleanup;
    ImportPatch set{"advapi32.dll", "RegSetValueExW", (void*)RefusingRegSetValueExW};
    ImportPatch open{"advapi32.dll", "RegOpenKeyExW", (void*)RefusingRegOpenKeyExW};
};

// Enable writes the registration, then starts the file session. A refused
// write ends it with its status, leaving what came before (which shows the
// order); a failed start keeps it all. Other content of the key stays.
TEST_F(AutologgerTest, EnableWritesTheRegistrationThenStarts)
{
    DWORD seven = 7;
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue((ProviderKey(2) + L"\\Keep").c_str(), L"Mine", REG_DWORD, &seven, 4));
    struct Case {
        const WCHAR* refused;
        bool failStart;
        size_t sessionValues, providerKeys, lastValues;
    } cases[] = {
        {L"", false, 13, 6, 6},
        {L"", true, 13, 6, 6},
        {L"FileName", false, 1, 0, 0},
        {L"EnableLevel", false, 13, 1, 1},  // the first provider's second value
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        bool ok = c.refused[0] == L'\0' && !c.failStart;
        refuseValue = c.refused;
        if (c.failStart)
            EtwEmuFailCall(kEmuStartTrace, 1, ERROR_ACCESS_DENIED);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(ok, !!EnablePersistentTracing(5));
        EXPECT_EQ(ok ? 0u : (DWORD)ERROR_ACCESS_DENIED, GetLastError());
        ExpectRegistration(c.sessionValues, c.providerKeys, c.lastValues);
        EXPECT_EQ(c.refused[0] == L'\0', EtwEmuCallCount() > 0);
        EXPECT_EQ(ok, !!EtwEmuSessionRunning(L"Quorvel"));
        EXPECT_TRUE(IsPersistentTracingEnabled());  // partly registered counts as enabled
        EXPECT_TRUE(&c != cases || ReadMachineValue(ProviderKey(2) + L"\\Keep", L"Mine").AsDword() == 7);
        refuseValue.clear();
        cleanup.Clean();
    }
}

// Registry key names go up to 255 characters; two levels of them below a key
// exceed the 520-unit path buffer of the tree deletion.
std::wstring TooDeepBelow(const std::wstring& key)
{
    std::wstring deep = key + L"\\" + std::wstring(255, L'a') + L"\\" + std::wstring(255, L'b');
    DWORD one = 1;
    EXPECT_EQ(ERROR_SUCCESS, WriteRegistryValue(deep.c_str(), L"Value", REG_DWORD, &one, 4));
    return deep;
}

// Disable stops first (what does not run counts as stopped): a failed stop
// deletes nothing; a key that cannot be deleted is reported, the stop done.
TEST_F(AutologgerTest, DisableStopsTheSessionThenDeletesTheRegistration)
{
    struct Case {
        bool registered, stopFails, undeletable, ok, running;
        DWORD error;
        size_t keysLeft;
    } cases[] = {
        {true, false, false, true, false, 0, 0},
        {false, false, false, true, false, 0, 0},
        {true, true, false, false, true, ERROR_ACCESS_DENIED, 6},
        {true, false, true, false, false, ERROR_BUFFER_OVERFLOW, 5},  // the first key went before
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        cleanup.Clean();
        ASSERT_TRUE(!c.registered || EnablePersistentTracing(5));
        if (c.stopFails)
            EtwEmuFailCall(kEmuControlTrace, 1, ERROR_ACCESS_DENIED);
        if (c.undeletable)
            TooDeepBelow(ProviderKey(1));
        SetLastError(0xdeadbeef);
        EXPECT_EQ(c.ok, !!DisablePersistentTracing());
        EXPECT_EQ(c.error, GetLastError());
        EXPECT_EQ(c.running, !!EtwEmuSessionRunning(L"Quorvel"));
        EXPECT_EQ(c.keysLeft > 0, !!IsPersistentTracingEnabled());
        EXPECT_EQ(c.keysLeft, MachineSubkeyNames(kKey).size());
        EXPECT_TRUE(MachineKeyExists(L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger"));
        readOnly = true;  // a user who may only read the key is shown no registration
        EXPECT_FALSE(IsPersistentTracingEnabled());
        readOnly = false;
    }
}

TEST_F(AutologgerTest, DeleteRegistryTreeNeverWritesPastItsBuffer)
{
    std::wstring deep = TooDeepBelow(kKey);
    WCHAR path[REGISTRY_PATH_UNITS + 2];
    wmemset(path, 0x5A5A, REGISTRY_PATH_UNITS + 2);
    wcscpy(path, kKey.c_str());
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(DeleteRegistryTree(path));
    EXPECT_EQ((DWORD)ERROR_BUFFER_OVERFLOW, GetLastError());
    EXPECT_EQ(0x5A5A, path[REGISTRY_PATH_UNITS]);
    EXPECT_EQ(0x5A5A, path[REGISTRY_PATH_UNITS + 1]);
    EXPECT_EQ(kKey, path);  // the caller's text is restored
    EXPECT_TRUE(MachineKeyExists(deep));
}

}  // namespace
