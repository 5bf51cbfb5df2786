// The autologger registration: exactly what Enable writes, what a failing
// step leaves and what Disable removes.
#include <gtest/gtest.h>

#include <objbase.h>

#include <set>
#include <string>
#include <vector>

#include "etw_emulation/etw_emulation.h"
#include "test_support/import_patch.h"
#include "test_support/registry.h"
#include "tracing/autologger.h"
#include "tracing/trace_session.h"

namespace {

const std::wstring kKey = L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\Quorvel";

// Built independently of the program: the system's GUID text, lowered.
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

struct Value { std::wstring key; const WCHAR* name; DWORD type; ULONGLONG number; std::wstring text = L""; };

// Exactly the first `written` values in Enable's order of writing, each with
// its type and bytes (strings with their terminator); no other value or key.
void ExpectRegistration(size_t written)
{
    WCHAR windows[MAX_PATH];
    std::wstring windowsDirectory(windows, GetSystemWindowsDirectoryW(windows, MAX_PATH));
    std::vector<Value> all = {
        {kKey, L"Guid", REG_SZ, 0, GuidText(fileSessionGuid)},
        {kKey, L"FileName", REG_SZ, 0, windowsDirectory + L"\\System32\\LogFiles\\WMI\\Quorvel.etl"},
        {kKey, L"FileMax", REG_DWORD, 8}, {kKey, L"Start", REG_DWORD, 1}, {kKey, L"BufferSize", REG_DWORD, 8},
        {kKey, L"FlushTimer", REG_DWORD, 0}, {kKey, L"MaximumBuffers", REG_DWORD, 0},
        {kKey, L"MinimumBuffers", REG_DWORD, 0}, {kKey, L"ClockType", REG_DWORD, 1},
        {kKey, L"MaxFileSize", REG_DWORD, 64}, {kKey, L"LogFileMode", REG_DWORD, 0x1300},
        {kKey, L"FileCounter", REG_DWORD, 5}, {kKey, L"Status", REG_DWORD, 0}};
    for (size_t p = 0; p < 6; ++p) {
        std::wstring key = ProviderKey(p);
        all.insert(all.end(), {{key, L"Enabled", REG_DWORD, 1}, {key, L"EnableLevel", REG_DWORD, 5},
                               {key, L"EnableProperty", REG_DWORD, 0}, {key, L"Status", REG_DWORD, 0},
                               {key, L"MatchAllKeyword", REG_QWORD, 0}, {key, L"MatchAnyKeyword", REG_QWORD, 0}});
    }
    std::set<std::wstring> keys;
    for (size_t i = 0; i < written; ++i) {
        const Value& value = all[i];
        RegistryValue actual = ReadMachineValue(value.key, value.name);
        const BYTE* bytes = value.type == REG_SZ ? (const BYTE*)value.text.c_str() : (const BYTE*)&value.number;
        size_t size = value.type == REG_SZ ? (value.text.size() + 1) * 2 : value.type == REG_DWORD ? 4 : 8;
        EXPECT_EQ(value.type, actual.type) << "value " << i;
        EXPECT_EQ(std::vector<BYTE>(bytes, bytes + size), actual.data) << "value " << i;
        keys.insert(value.key);
    }
    size_t values = 0;  // each of them checked above, so the counts show that nothing else is there
    for (const std::wstring& key : keys)
        values += MachineNames(key, true).size();
    EXPECT_EQ(written, values);
    EXPECT_EQ(keys.size() - 1, MachineNames(kKey, false).size());
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

// Enable writes the registration, then starts the file session: a refused write ends it with its status,
// leaving what came before; a failed start keeps it all. Disable stops first (what does not run counts as
// stopped): a failed stop deletes nothing; a key that cannot be deleted is reported, the stop done. Other
// content of the key stays until Disable. Two levels of 255-character key names exceed the tree deletion's
// 520-unit path buffer.
TEST(AutologgerTest, EnableThenDisable)
{
    PersistentTracingCleanup cleanup;
    ImportPatch set{"advapi32.dll", "RegSetValueExW", (void*)RefusingRegSetValueExW};
    ImportPatch open{"advapi32.dll", "RegOpenKeyExW", (void*)RefusingRegOpenKeyExW};
    ASSERT_TRUE(set.active() && open.active());
    realSet = set.original<decltype(&RegSetValueExW)>();
    realOpen = open.original<decltype(&RegOpenKeyExW)>();
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(DisablePersistentTracing());  // nothing registered
    EXPECT_EQ(0u, GetLastError());
    DWORD seven = 7;
    std::wstring tooDeep = ProviderKey(1) + L"\\" + std::wstring(255, L'a') + L"\\" + std::wstring(255, L'b');
    ASSERT_EQ(ERROR_SUCCESS, WriteRegistryValue((ProviderKey(2) + L"\\Keep").c_str(), L"Mine", REG_DWORD, &seven, 4));
    struct Case { const WCHAR* refused; bool failStart; size_t written; bool stopFails, undeletable; size_t keysLeft; };
    const Case cases[] = {
        {L"", false, 49, false, false, 0},
        {L"", true, 49, false, false, 0},
        {L"FileName", false, 1, false, false, 0},
        {L"EnableLevel", false, 14, false, false, 0},  // the first provider's second value
        {L"", false, 49, true, false, 6},
        {L"", false, 49, false, true, 5},  // the first key went before
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        bool enabled = c.refused[0] == L'\0' && !c.failStart;
        refuseValue = c.refused;
        if (c.failStart)
            EtwEmuFailCall(kEmuStartTrace, 1, ERROR_ACCESS_DENIED);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(enabled, !!EnablePersistentTracing(5));
        EXPECT_EQ(enabled ? 0u : (DWORD)ERROR_ACCESS_DENIED, GetLastError());
        ExpectRegistration(c.written);
        EXPECT_EQ(enabled, !!EtwEmuSessionRunning(L"Quorvel"));
        EXPECT_TRUE(IsPersistentTracingEnabled());  // partly registered counts as enabled
        EXPECT_TRUE(&c != cases || ReadMachineValue(ProviderKey(2) + L"\\Keep", L"Mine").AsDword() == 7);
        refuseValue.clear();

        if (c.stopFails)
            EtwEmuFailCall(kEmuControlTrace, 1, ERROR_ACCESS_DENIED);
        ASSERT_TRUE(!c.undeletable || WriteRegistryValue(tooDeep.c_str(), L"Value", REG_DWORD, &seven, 4) == 0);
        SetLastError(0xdeadbeef);
        EXPECT_EQ(!c.stopFails && !c.undeletable, !!DisablePersistentTracing());
        EXPECT_EQ(c.stopFails ? ERROR_ACCESS_DENIED : c.undeletable ? ERROR_BUFFER_OVERFLOW : 0u, GetLastError());
        EXPECT_EQ(c.stopFails, !!EtwEmuSessionRunning(L"Quorvel"));
        EXPECT_EQ(c.keysLeft > 0, !!IsPersistentTracingEnabled());
        EXPECT_EQ(c.keysLeft, MachineNames(kKey, false).size());
        EXPECT_TRUE(MachineKeyExists(L"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger"));
        readOnly = true;  // a user who may only read the key is shown no registration
        EXPECT_FALSE(IsPersistentTracingEnabled());
        readOnly = false;
        cleanup.Clean();
    }
}

}  // namespace
