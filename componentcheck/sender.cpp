// The host's records to the checker.

#include "sender.h"

#include "records.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

constexpr size_t kDetailSize = 1024;

HANDLE g_Report;
bool g_SecondRun;

void Send(const Record &record)
{
    const std::string line = Encode(record);
    DWORD written;
    WriteFile(g_Report, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

} // namespace

void StartSending(HANDLE report)
{
    g_Report = report;
}

void StartSecondRun(bool started)
{
    g_SecondRun = started;
}

bool InSecondRun()
{
    return g_SecondRun;
}

void Step(const std::string &entry, Check check, DWORD limitMs)
{
    Send({RecordKind::Step, {entry, check, Verdict::NotObservable, std::nullopt, ""}, limitMs, ""});
}

void Result(const std::string &entry, Check check, Verdict verdict, const long long *value, const char *format, ...)
{
    if (g_SecondRun)
        return;
    char detail[kDetailSize];
    va_list args;
    va_start(args, format);
    _vsnprintf(detail, sizeof(detail) - 1, format, args);
    va_end(args);
    detail[sizeof(detail) - 1] = '\0';
    CheckResult result{entry, check, verdict, std::nullopt, detail};
    if (value != nullptr)
        result.value = *value;
    Send({RecordKind::Result, result, 0, ""});
}

void Pass(const std::string &entry, Check check, long long value, const char *detail)
{
    Result(entry, check, Verdict::Pass, &value, "%s", detail);
}

void SendCrash(const std::string &detail)
{
    Send({RecordKind::Crash, {}, 0, detail});
}

void SendUnloadable(const std::string &detail)
{
    Send({RecordKind::Unloadable, {}, 0, detail});
}

void SendDone()
{
    Send({RecordKind::Done, {}, 0, ""});
}
