// The table of checks, by name.

#include "checks.h"

const char *VerdictName(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "fail";
    case Verdict::Warn: return "warn";
    case Verdict::NotObservable: break;
    }
    return "not-observable";
}

namespace {

const CheckInfo &InfoOf(Check check)
{
    for (const CheckInfo &info : kChecks) {
        if (info.check == check)
            return info;
    }
    return kChecks[0];
}

} // namespace

const char *CheckName(Check check)
{
    return InfoOf(check).name;
}

const char *CheckUnit(Check check)
{
    return InfoOf(check).unit;
}

bool FindCheck(const std::string &name, Check &check)
{
    for (const CheckInfo &info : kChecks) {
        if (name == info.name) {
            check = info.check;
            return true;
        }
    }
    return false;
}

std::vector<Check> ChecksOf(const contract::Entry &entry)
{
    using contract::Call;
    switch (entry.call) {
    case Call::MainThread:
        return {entry.name == std::string(contract::kFillBuffer) ? Check::ConfigFill : Check::ConfigFree};
    case Call::Startup:
        return {Check::Ready, Check::SingleSignal, Check::Stop};
    case Call::Worker:
        break;
    }
    return {Check::Ready, Check::SingleSignal, Check::QueueAtSignal, Check::FailBeforeSignal, Check::Stop};
}
