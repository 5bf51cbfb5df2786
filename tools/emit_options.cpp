#include "tools/emit_options.h"

#include <evntrace.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "etw_emulation/synthetic_script.h"
#include "tracing/trace_session.h"

const WCHAR emitUsage[] =
    L"Usage: QuorvelEmit [--provider 1-6|all] [--level 0-255] [--origin NAME] [--line N]\n"
    L"                   [--text TEXT] [--count N] [--rate N] [--wait SECONDS]\n"
    L"       QuorvelEmit --script [--count N] [--rate N] [--wait SECONDS]\n"
    L"\n"
    L"Logs messages \"NAME(N) : TEXT\" through the six Quorvel ETW providers, as the\n"
    L"components do, for QuorvelTrace's Live Tracing or persistent tracing to show.\n"
    L"  --provider  provider 1 to 6, or all of them in turn (default 1)\n"
    L"  --level     ETW level: 1 critical, 2 error, 3 warning, 4 information,\n"
    L"              5 verbose (default 4)\n"
    L"  --origin    where the message comes from (default QuorvelEmit::Main);\n"
    L"              \"\" logs the bare text\n"
    L"  --line      its line number (default 1)\n"
    L"  --text      the message; {n} becomes its number (default \"test message {n}\")\n"
    L"  --script    replays the synthetic smart-card logon script instead: its\n"
    L"              providers, levels and texts\n"
    L"  --count     messages to log (default 10); 0 logs until Ctrl+C\n"
    L"  --rate      messages a second (default 10); 0 as fast as possible\n"
    L"  --wait      seconds to wait for a trace session to enable the providers\n"
    L"              (default 10)\n"
    L"Exit code: 0 done, 1 an ETW call failed or no session enabled the providers,\n"
    L"2 bad arguments.\n";

namespace {

enum OptionId { kProvider, kLevel, kOrigin, kLine, kText, kCount, kRate, kWait, kOptionCount };

struct OptionSpec {
    const WCHAR* name;
    ULONG min;
    ULONG max;
    const WCHAR* takes;     // completes "<name> takes ..."
};

// kProvider .. kText describe the message, which --script takes from the script.
const OptionSpec kOptions[kOptionCount] = {
    {L"--provider", 1, PROVIDER_COUNT, L"1 to 6 or all"},
    {L"--level", 0, 255, L"a level from 0 to 255"},
    {L"--origin", 0, 0, L"a text"},
    {L"--line", 0, 0xFFFFFFFF, L"a number from 0 to 4294967295"},
    {L"--text", 0, 0, L"a text"},
    {L"--count", 0, 0xFFFFFFFF, L"a number from 0 to 4294967295"},
    {L"--rate", 0, 1000000, L"a number from 0 to 1000000"},
    {L"--wait", 0, 86400, L"a number of seconds from 0 to 86400"},
};

const WCHAR kNumberMark[] = L"{n}";
const size_t kNumberMarkLength = 3;

EmitParse Fail(WCHAR* error, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    _vsnwprintf(error, EMIT_ERROR_UNITS - 1, format, args);
    va_end(args);
    error[EMIT_ERROR_UNITS - 1] = L'\0';
    return kEmitBadArguments;
}

// Decimal digits only, no sign, within min..max.
BOOL ReadNumber(const WCHAR* text, ULONG min, ULONG max, ULONG* out)
{
    if (*text == L'\0')
        return FALSE;
    ULONG64 value = 0;
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9')
            return FALSE;
        value = value * 10 + (*text - L'0');
        if (value > max)
            return FALSE;
    }
    *out = (ULONG)value;
    return value >= min;
}

// A message being built; with a null text it is only measured.
struct MessageText {
    WCHAR* text;
    size_t length;
    BOOL fits;
};

void Put(MessageText* message, const WCHAR* part, size_t units)
{
    if (!message->fits || units > EMIT_MESSAGE_UNITS - 1 - message->length) {
        message->fits = FALSE;
        return;
    }
    if (message->text != nullptr) {
        wmemcpy(message->text + message->length, part, units);
        message->text[message->length + units] = L'\0';
    }
    message->length += units;
}

void PutNumber(MessageText* message, ULONG64 number)
{
    WCHAR digits[24];
    _ui64tow(number, digits, 10);
    Put(message, digits, wcslen(digits));
}

// "origin(line) : text" with every {n} replaced by `number`.
BOOL ComposeMessage(const EmitOptions* options, ULONG64 number, WCHAR* text)
{
    MessageText message = {text, 0, TRUE};
    if (text != nullptr)
        text[0] = L'\0';
    if (options->origin[0] != L'\0') {
        Put(&message, options->origin, wcslen(options->origin));
        Put(&message, L"(", 1);
        PutNumber(&message, options->line);
        Put(&message, L") : ", 4);
    }
    for (const WCHAR* rest = options->text; *rest != L'\0';) {
        const WCHAR* mark = wcsstr(rest, kNumberMark);
        Put(&message, rest, mark != nullptr ? (size_t)(mark - rest) : wcslen(rest));
        if (mark == nullptr)
            break;
        PutNumber(&message, number);
        rest = mark + kNumberMarkLength;
    }
    if (!message.fits && text != nullptr)
        text[0] = L'\0';
    return message.fits;
}

}  // namespace

EmitParse ParseEmitOptions(int argc, WCHAR** argv, EmitOptions* out, WCHAR* error)
{
    *out = {FALSE, 1, TRACE_LEVEL_INFORMATION, 10, 10, 10, L"QuorvelEmit::Main", 1,
            L"test message {n}"};
    error[0] = L'\0';
    BOOL describesMessage = FALSE;
    for (int i = 1; i < argc; ++i) {
        const WCHAR* name = argv[i];
        if (wcscmp(name, L"--help") == 0 || wcscmp(name, L"-h") == 0 || wcscmp(name, L"/?") == 0)
            return kEmitHelp;
        if (wcscmp(name, L"--script") == 0) {
            out->script = TRUE;
            continue;
        }
        int id = 0;
        while (id < kOptionCount && wcscmp(name, kOptions[id].name) != 0)
            ++id;
        if (id == kOptionCount)
            return Fail(error, L"unknown option \"%.40s\".", name);
        const OptionSpec* option = &kOptions[id];
        if (++i == argc)
            return Fail(error, L"%s takes %s.", option->name, option->takes);
        const WCHAR* value = argv[i];
        describesMessage |= id <= kText;
        if (id == kOrigin) {
            out->origin = value;
            continue;
        }
        if (id == kText) {
            out->text = value;
            continue;
        }
        if (id == kProvider && wcscmp(value, L"all") == 0) {
            out->provider = EMIT_ALL_PROVIDERS;
            continue;
        }
        ULONG number = 0;
        if (!ReadNumber(value, option->min, option->max, &number))
            return Fail(error, L"%s takes %s.", option->name, option->takes);
        switch (id) {
        case kProvider:
            out->provider = number;
            break;
        case kLevel:
            out->level = (UCHAR)number;
            break;
        case kLine:
            out->line = number;
            break;
        case kCount:
            out->count = number;
            break;
        case kRate:
            out->rate = number;
            break;
        case kWait:
            out->waitSeconds = number;
            break;
        }
    }
    if (out->script) {
        if (describesMessage)
            return Fail(error, L"--script takes the providers, levels and texts from the script.");
        return kEmitRun;
    }
    if (out->origin[0] == L'\0' && out->text[0] == L'\0')
        return Fail(error, L"the message is empty.");
    // The longest message of the run is the one with the highest number.
    if (!ComposeMessage(out, out->count != 0 ? out->count : ~0ull, nullptr))
        return Fail(error, L"the message is longer than %d characters.", EMIT_MESSAGE_UNITS - 1);
    return kEmitRun;
}

BOOL BuildEmitMessage(const EmitOptions* options, ULONG64 number, ULONG* providerIndex,
                      UCHAR* level, WCHAR* text)
{
    if (options->script) {
        SyntheticEvent event;
        DescribeSyntheticEvent(number - 1, &event);
        *providerIndex = event.providerIndex;
        *level = event.level;
        wcscpy(text, event.text);
        return TRUE;
    }
    *providerIndex = options->provider == EMIT_ALL_PROVIDERS
                         ? (ULONG)((number - 1) % PROVIDER_COUNT)
                         : options->provider - 1;
    *level = options->level;
    return ComposeMessage(options, number, text);
}
