// The synthetic traffic: a smart-card logon played over and over. Event
// `index` is step index % kStepCount of scenario index / kStepCount; the
// scenario's hash picks the user, reader, card and the rare failures, the
// event's hash the thread and the small varying numbers.
#include "etw_emulation/synthetic_script.h"

#include <evntrace.h>

// Provider roles, as indices into providerTable.
enum SyntheticProvider { kReader, kMinidriver, kKsp, kCredential, kCardService, kTools };

enum SyntheticProcess { kSystem, kLsass, kCardSvc, kWinlogon, kLogonUi, kManage, kProcessCount };

struct FakeProcess {
    ULONG processId;
    ULONG threadIds[4];
    ULONG threadCount;
};

static const FakeProcess kProcesses[kProcessCount] = {
    {4, {188, 212, 3404}, 3},            // System: the reader driver's context
    {724, {728, 1044, 2316, 4480}, 4},   // lsass.exe
    {1388, {1392, 1520, 3096}, 3},       // svchost.exe hosting the card service
    {612, {616, 2024}, 2},               // winlogon.exe
    {4412, {4416, 4508, 4620}, 3},       // LogonUI.exe
    {5536, {5540, 5712}, 2},             // QvManage.exe
};

// What each step says; SyntheticText builds the words.
enum SyntheticText {
    kTextEnumerate, kTextPoll, kTextInserted, kTextAtr, kTextStatusChange,
    kTextScenario, kTextSelected, kTextAcquire, kTextReadFile, kTextPropagate,
    kTextOpenKey, kTextVerifyPin, kTextSignHash, kTextApdu, kTextTransaction,
    kTextLogonDone, kTextPkinit, kTextTransmit, kTextStoreRefresh, kTextRemoved,
    kTextColdReset, kTextKspConfig, kTextDumpState
};

struct ScenarioStep {
    UCHAR provider;
    UCHAR process;
    UCHAR level;
    const WCHAR* origin;        // null: a message without origin
    USHORT line;
    UCHAR text;
};

static const ScenarioStep kScenario[] = {
    {kCardService, kCardSvc, 4, L"ReaderMonitor::Enumerate", 118, kTextEnumerate},
    {kReader, kSystem, 5, L"VReader::PollSlot", 402, kTextPoll},
    {kReader, kSystem, 4, L"VReader::OnInsert", 251, kTextInserted},
    {kCardService, kCardSvc, 4, L"CardTracker::Arrival", 77, kTextAtr},
    {kCardService, kCardSvc, 5, nullptr, 0, kTextStatusChange},
    {kCredential, kLogonUi, 4, L"QvCredential::SetUsageScenario", 310, kTextScenario},
    {kCredential, kLogonUi, 5, L"QvCredential::GetSerialization", 655, kTextSelected},
    {kMinidriver, kLsass, 5, L"Minidriver::CardAcquireContext", 88, kTextAcquire},
    {kMinidriver, kLsass, 4, L"Minidriver::ReadFile", 412, kTextReadFile},
    {kTools, kManage, 4, L"CertPropagation::Propagate", 233, kTextPropagate},
    {kKsp, kLsass, 4, L"QvKsp::OpenKey", 140, kTextOpenKey},
    {kMinidriver, kLsass, 4, L"Minidriver::CardAuthenticatePin", 530, kTextVerifyPin},
    {kKsp, kLsass, 5, L"QvKsp::SignHash", 288, kTextSignHash},
    {kMinidriver, kLsass, 5, L"Minidriver::CardSign", 611, kTextApdu},
    {kCardService, kCardSvc, 3, L"Transaction::Begin", 59, kTextTransaction},
    {kCredential, kWinlogon, 4, L"LogonSequence::Complete", 840, kTextLogonDone},
    {kCredential, kWinlogon, 4, nullptr, 0, kTextPkinit},
    {kReader, kSystem, 5, L"VReader::Transmit", 377, kTextTransmit},
    {kTools, kManage, 5, nullptr, 0, kTextStoreRefresh},
    {kCardService, kCardSvc, 4, L"ReaderMonitor::Removal", 164, kTextRemoved},
    {kReader, kSystem, 3, L"VReader::Power", 198, kTextColdReset},
    {kKsp, kLsass, 5, L"QvKsp::Initialize", 61, kTextKspConfig},
    {kReader, kSystem, 5, L"VReader::DumpState", 903, kTextDumpState},
};

static const ULONG kStepCount = sizeof(kScenario) / sizeof(kScenario[0]);
static const ULONG64 kSyntheticSeed = 0x51C0FFEE2024ULL;

// splitmix64: a seeded, well-mixed hash, so any index is computed directly.
static ULONG64 Mix(ULONG64 value)
{
    value += 0x9E3779B97F4A7C15ULL;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

// Appends to a SyntheticEvent's text, cutting at its buffer's end.
struct MessageText {
    WCHAR* text;
    ULONG length;
};

static void Put(MessageText* out, const WCHAR* text)
{
    while (*text && out->length < SYNTHETIC_TEXT_UNITS - 1)
        out->text[out->length++] = *text++;
    out->text[out->length] = 0;
}

static void PutNumber(MessageText* out, ULONG64 value)
{
    WCHAR digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value);
    WCHAR reversed[24];
    for (int i = 0; i < n; i++)
        reversed[i] = digits[n - 1 - i];
    reversed[n] = 0;
    Put(out, reversed);
}

static void PutHex(MessageText* out, ULONG64 value, int digits)
{
    static const WCHAR kHex[] = L"0123456789ABCDEF";
    WCHAR text[17];
    for (int i = 0; i < digits; i++)
        text[i] = kHex[(value >> (4 * (digits - 1 - i))) & 0xF];
    text[digits] = 0;
    Put(out, text);
}

static void PutBytes(MessageText* out, const BYTE* bytes, int count)
{
    for (int i = 0; i < count; i++) {
        if (i)
            Put(out, L" ");
        PutHex(out, bytes[i], 2);
    }
}

static void PutReader(MessageText* out, ULONG reader)
{
    Put(out, L"Quorvel Virtual Smart Card Reader ");
    PutNumber(out, reader);
}

static void PutUser(MessageText* out, ULONG user)
{
    Put(out, L"CORP\\user");
    if (user < 100)
        Put(out, L"0");
    if (user < 10)
        Put(out, L"0");
    PutNumber(out, user);
}

// The parts of a scenario its hash decides.
struct ScenarioFacts {
    ULONG user;             // 0..199
    ULONG reader;           // 0..2
    ULONG readerCount;      // 1..3, reader < readerCount
    ULONG cardSerial;
    BOOL wrongPin;          // 1 scenario in 8: level 2
    BOOL kspBroken;         // 1 scenario in 32: level 1
    BOOL torn;              // 1 scenario in 16: card pulled mid-transaction
};

static void GetScenarioFacts(ULONG64 scenario, ScenarioFacts* out)
{
    ULONG64 hash = Mix(kSyntheticSeed ^ (scenario * 0x2545F4914F6CDD1DULL));
    out->user = static_cast<ULONG>(hash % 200);
    out->readerCount = static_cast<ULONG>((hash >> 8) % 3) + 1;
    out->reader = static_cast<ULONG>((hash >> 12) % out->readerCount);
    out->cardSerial = static_cast<ULONG>(hash >> 32);
    out->wrongPin = ((hash >> 16) & 7) == 0;
    out->kspBroken = ((hash >> 20) & 31) == 0;
    out->torn = ((hash >> 26) & 15) == 0;
}

// Writes the words of `step`; may lower the level for a failure variant.
static void PutStepText(MessageText* out, const ScenarioStep* step, const ScenarioFacts* facts,
                        ULONG64 hash, UCHAR* level)
{
    ULONG small = static_cast<ULONG>(hash >> 40);
    switch (step->text) {
    case kTextEnumerate:
        Put(out, L"enumerating readers, ");
        PutNumber(out, facts->readerCount);
        Put(out, L" found:");
        for (ULONG i = 0; i < facts->readerCount; i++) {
            Put(out, i ? L", " : L" ");
            PutReader(out, i);
        }
        break;
    case kTextPoll:
        Put(out, L"slot 0 state 0x");
        PutHex(out, 0x22, 8);
        Put(out, L" -> 0x");
        PutHex(out, 0x34 + (small & 1) * 0x100, 8);
        break;
    case kTextInserted:
        Put(out, L"card inserted in ");
        PutReader(out, facts->reader);
        break;
    case kTextAtr: {
        BYTE atr[] = {0x3B, 0x8D, 0x01, 0x80, 0xFB, 0xA0, 0x00, 0x00, 0x03, 0x97,
                      0x42, 0x54, 0x46, 0x59, 0x03, 0x00};
        atr[15] = static_cast<BYTE>(facts->cardSerial);
        Put(out, L"ATR ");
        PutBytes(out, atr, sizeof(atr));
        Put(out, L" card 0x");
        PutHex(out, facts->cardSerial, 8);
        break;
    }
    case kTextStatusChange:
        Put(out, L"SCardGetStatusChange returned 0x00000000 after ");
        PutNumber(out, small % 40 + 1);
        Put(out, L" ms for ");
        PutNumber(out, facts->readerCount);
        Put(out, L" readers");
        break;
    case kTextScenario:
        Put(out, L"usage scenario CPUS_LOGON, flags 0x00000000");
        break;
    case kTextSelected:
        Put(out, L"user ");
        PutUser(out, facts->user);
        Put(out, L" selected certificate 1 of ");
        PutNumber(out, small % 3 + 1);
        break;
    case kTextAcquire:
        Put(out, L"context 0x0000");
        PutHex(out, hash & 0xFFFFFFFFFFF0ULL, 12);
        Put(out, L" version 7");
        break;
    case kTextReadFile:
        Put(out, L"read mscp\\kxc00 (");
        PutNumber(out, 1100 + small % 400);
        Put(out, L" bytes) from card 0x");
        PutHex(out, facts->cardSerial, 8);
        break;
    case kTextPropagate:
        Put(out, L"propagated certificate to the MY store: Subject=CN=User ");
        PutNumber(out, facts->user);
        Put(out, L", OU=Smart Card Users, O=Contoso Ltd, C=US; Issuer=CN=Contoso Issuing CA 02, "
                 L"DC=corp, DC=contoso, DC=com; Serial=61");
        PutHex(out, facts->cardSerial, 8);
        Put(out, L"0000000000A2; Thumbprint=");
        PutHex(out, Mix(facts->cardSerial), 16);
        PutHex(out, Mix(facts->user), 16);
        PutHex(out, facts->cardSerial, 8);
        Put(out, L"; NotAfter=2027-06-30");
        break;
    case kTextOpenKey:
        Put(out, L"opened key container {");
        PutHex(out, facts->cardSerial, 8);
        Put(out, L"-5A1C-4E0B-9D3F-00C04F");
        PutHex(out, facts->user, 6);
        Put(out, L"} for AT_KEYEXCHANGE");
        break;
    case kTextVerifyPin:
        if (facts->wrongPin) {
            *level = TRACE_LEVEL_ERROR;
            Put(out, L"PIN verification failed (0x80100069 SCARD_W_WRONG_CHV), 2 attempts left");
        } else {
            Put(out, L"PIN verification for the user role succeeded, 5 attempts left");
        }
        break;
    case kTextSignHash:
        Put(out, L"signing a 32-byte hash with RSA 2048, PKCS#1 padding");
        break;
    case kTextApdu: {
        BYTE apdu[] = {0x00, 0x2A, 0x9E, 0x9A, 0x00, 0x00, 0x33};
        Put(out, L"APDU ");
        PutBytes(out, apdu, sizeof(apdu));
        Put(out, L" -> SW 90 00, ");
        PutNumber(out, 256 + (small & 3) * 128);
        Put(out, L" bytes");
        break;
    }
    case kTextTransaction:
        Put(out, L"transaction held ");
        PutNumber(out, 200 + small % 300);
        Put(out, L" ms by another process (pid ");
        PutNumber(out, kProcesses[kLogonUi].processId);
        Put(out, L")");
        break;
    case kTextLogonDone:
        Put(out, L"smart card logon for ");
        PutUser(out, facts->user);
        Put(out, L" completed in ");
        PutNumber(out, 600 + small % 900);
        Put(out, L" ms");
        break;
    case kTextPkinit:
        Put(out, L"Kerberos PKINIT pre-authentication accepted by DC0");
        PutNumber(out, small % 3 + 1);
        Put(out, L".corp.contoso.com");
        break;
    case kTextTransmit:
        Put(out, L"T=1 block, ");
        PutNumber(out, 5 + small % 256);
        Put(out, L" bytes out, 2 bytes in");
        break;
    case kTextStoreRefresh:
        Put(out, L"certificate store refresh skipped: no change");
        break;
    case kTextRemoved:
        if (facts->torn) {
            *level = TRACE_LEVEL_WARNING;
            Put(out, L"card removed during a transaction, session ");
            PutNumber(out, small % 64);
            Put(out, L" aborted");
        } else {
            Put(out, L"card removed from ");
            PutReader(out, facts->reader);
        }
        break;
    case kTextColdReset:
        Put(out, L"cold reset took ");
        PutNumber(out, 1001 + small % 200);
        Put(out, L" ms (limit 1000 ms)");
        break;
    case kTextKspConfig:
        if (facts->kspBroken) {
            *level = TRACE_LEVEL_CRITICAL;
            Put(out, L"key storage provider failed to load its configuration (0x80090029), "
                     L"smart card logon disabled");
        } else {
            Put(out, L"configuration loaded, 2 algorithms, PIN cache on");
        }
        break;
    case kTextDumpState:
        Put(out, L"reader state: name=");
        PutReader(out, facts->reader);
        Put(out, L", slots=2, slot0={present, powered, protocol T=1, ATR length 16}, "
                 L"slot1={absent}, pending requests=");
        PutNumber(out, small % 4);
        Put(out, L", last error 0x00000000, watchdog 5000 ms, transactions since power-up ");
        PutNumber(out, small % 10000);
        break;
    }
}

void DescribeSyntheticEvent(ULONG64 index, SyntheticEvent* out)
{
    const ScenarioStep* step = &kScenario[index % kStepCount];
    ScenarioFacts facts;
    GetScenarioFacts(index / kStepCount, &facts);
    ULONG64 hash = Mix(kSyntheticSeed + index);
    const FakeProcess* process = &kProcesses[step->process];

    out->providerIndex = step->provider;
    out->level = step->level;
    out->processId = process->processId;
    out->threadId = process->threadIds[hash % process->threadCount];
    MessageText text = {out->text, 0};
    out->text[0] = 0;
    if (step->origin) {
        Put(&text, step->origin);
        Put(&text, L"(");
        PutNumber(&text, step->line);
        Put(&text, L") : ");
    }
    PutStepText(&text, step, &facts, hash, &out->level);
    out->textLength = text.length;
}
