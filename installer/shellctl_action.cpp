// The installer's custom actions for the shell setting, each writing what
// it does into the Windows Installer log, where an administrator of a
// silent install looks:
//
// RunShellctl  (install) runs the installed shellctl.exe, which checks the
//              installation before it sets the Shell value.
//              CustomActionData "<folder>|<fatal: 1 or 0>|<shellctl arguments>"
// UnsetShell   (removal) puts back a hive's Shell value where it starts this
//              installation, from what the installation kept; done here, by
//              the same model shellctl uses, so that it needs no program of
//              the installation. "<folder>|<user or machine>|<upgrade code>|<product code>"
// RepairShell  (rollback, scheduled before the files are installed, so it
//              runs after their rollback) does the same where the Shell value
//              starts this installation but its files are gone.
//              "<folder>|<user or machine>"
//
// A fatal step that fails fails the installation or removal, which then
// rolls back and keeps the files, with the reason as its error.

#include "ChildProcess.h"
#include "Paths.h"
#include "Registration.h"
#include "SystemText.h"
#include "Text.h"
#include "UniqueHandle.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

using namespace registration;

namespace {

constexpr DWORD kRunLimitMs = 5 * 60 * 1000; // the checks it runs take seconds; a hang must not hold the install
constexpr wchar_t kShellctl[] = L"shellctl.exe";

using UniqueMsiHandle = UniqueResource<MSIHANDLE, MsiCloseHandle>;

std::wstring Property(MSIHANDLE install, const wchar_t *name)
{
    wchar_t empty[1] = L"";
    DWORD size = 0;
    if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA)
        return L"";
    std::wstring value(size + 1, L'\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS)
        return L"";
    value.resize(size);
    return value;
}

void Say(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring &line)
{
    const UniqueMsiHandle record(MsiCreateRecord(0));
    MsiRecordSetStringW(record.get(), 0, line.c_str());
    MsiProcessMessage(install, kind, record.get());
}

// The fields of the action's data, split at '|'; the folder without a trailing backslash.
std::vector<std::wstring> Fields(MSIHANDLE install)
{
    const std::wstring data = Property(install, L"CustomActionData");
    std::vector<std::wstring> fields;
    for (size_t at = 0;;) {
        const size_t bar = data.find(L'|', at);
        fields.push_back(data.substr(at, bar == std::wstring::npos ? bar : bar - at));
        if (bar == std::wstring::npos)
            break;
        at = bar + 1;
    }
    if (fields[0].size() > 3 && fields[0].back() == L'\\')
        fields[0].pop_back();
    return fields;
}

// Each line shellctl wrote (UTF-8) into the log; the last one, its reason.
std::wstring LogLines(MSIHANDLE install, const std::string &output)
{
    std::wstring last;
    for (size_t at = 0; at < output.size();) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos)
            end = output.size();
        std::wstring line = text::FromUtf8(std::string_view(output).substr(at, end - at));
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (!line.empty()) {
            Say(install, INSTALLMESSAGE_INFO, L"shellctl: " + line);
            last = line;
        }
        at = end + 1;
    }
    return last;
}

// Runs shellctl to its end; the sentence that says why it failed, or empty
// when it did what was asked.
std::wstring RunShellctlIn(MSIHANDLE install, const std::wstring &dir, const std::wstring &arguments)
{
    const std::wstring program = paths::Join(dir, kShellctl);
    const std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    Say(install, INSTALLMESSAGE_INFO, L"shellctl action: " + commandLine);
    ChildProcess shellctl;
    ChildOptions options;
    options.application = program.c_str();
    options.capture = true;
    options.noWindow = true;
    if (!shellctl.Start(commandLine, options))
        return L"shellctl " + arguments + L" could not be started (" + program + L"): " + SystemText(shellctl.Error());
    const bool ended = shellctl.Wait(kRunLimitMs);
    const std::wstring last = LogLines(install, shellctl.TakeOutput());
    if (!ended) {
        shellctl.Terminate(ERROR_TIMEOUT);
        return L"shellctl " + arguments + L" did not finish within " + std::to_wstring(kRunLimitMs / 1000) + L" s";
    }
    if (shellctl.ExitCode() == 0)
        return L"";
    return L"shellctl " + arguments + L" failed (exit code " + std::to_wstring(shellctl.ExitCode()) + L")" +
           (last.empty() ? L"" : L": " + last);
}

// Another installed product of the same upgrade code than this one; empty for none.
std::wstring OtherVersion(const std::wstring &upgradeCode, const std::wstring &productCode)
{
    constexpr size_t kGuidLength = 39; // "{...}" and its terminator
    wchar_t product[kGuidLength];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, product) == ERROR_SUCCESS; ++i) {
        if (CompareStringOrdinal(product, -1, productCode.c_str(), -1, TRUE) != CSTR_EQUAL)
            return product;
    }
    return L"";
}

std::wstring Describe(const registry::Value &value)
{
    return !value.present ? L"no value" : value.Text().empty() ? L"a value without text" : value.Text();
}

// Puts the hive's Shell value back, logging what was done; false, with the
// reason as the error, when it could not be.
bool PutBackLogged(MSIHANDLE install, const Installation &installation, Hive hive)
{
    const std::wstring winlogon = std::wstring(NameOf(hive)) + L"\\" + kWinlogonKey;
    PutBackResult result;
    const LONG error = PutBack(installation, hive, result);
    if (result.wasOurs)
        Say(install, INSTALLMESSAGE_INFO, L"shell setting: Shell under " + winlogon + L": " +
                                          Describe(result.previous) + L" again");
    else if (result.saved && error == ERROR_SUCCESS)
        Say(install, INSTALLMESSAGE_INFO, L"shell setting: Shell under " + winlogon + L" is " +
                                          Describe(result.current) + L", not this installation's: left as it is");
    for (const std::wstring &other : result.relinked)
        Say(install, INSTALLMESSAGE_INFO, L"shell setting: " + other + L" now falls back to " + Describe(result.previous));
    if (error == ERROR_SUCCESS)
        return true;
    Say(install, INSTALLMESSAGE_ERROR, std::wstring(L"shell setting: ") + result.failed + L" " + NameOf(hive) +
                                           L"\\" + result.failedKey + L": " + SystemText(static_cast<DWORD>(error)));
    return false;
}

Hive HiveNamed(const std::wstring &name)
{
    return name == L"machine" ? Hive::Machine : Hive::User;
}

} // namespace

extern "C" UINT __stdcall RunShellctl(MSIHANDLE install)
{
    const std::vector<std::wstring> fields = Fields(install);
    if (fields.size() != 3) {
        Say(install, INSTALLMESSAGE_ERROR, L"shellctl action: no installation directory in its data");
        return ERROR_INSTALL_FAILURE;
    }
    const bool fatal = fields[1] == L"1";
    const std::wstring failed = RunShellctlIn(install, fields[0], fields[2]);
    if (failed.empty())
        return ERROR_SUCCESS;
    Say(install, fatal ? INSTALLMESSAGE_ERROR : INSTALLMESSAGE_INFO, failed);
    return fatal ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}

// An uninstall while another version of the package is installed is the
// removal of the older one in an upgrade: the newer one has taken over the
// shell setting, which stays. (Not every installer says so with
// UPGRADINGPRODUCTCODE: Wine's removes the older product by a plain REMOVE=ALL.)
extern "C" UINT __stdcall UnsetShell(MSIHANDLE install)
{
    const std::vector<std::wstring> fields = Fields(install);
    if (fields.size() != 4) {
        Say(install, INSTALLMESSAGE_ERROR, L"shell setting: no installation directory in the action's data");
        return ERROR_INSTALL_FAILURE;
    }
    const std::wstring newer = OtherVersion(fields[2], fields[3]);
    if (!newer.empty()) {
        Say(install, INSTALLMESSAGE_INFO, L"shell setting: " + newer + L", another version of this package, is "
                                          L"installed and has taken over the shell setting: left as it is");
        return ERROR_SUCCESS;
    }
    return PutBackLogged(install, Installation(fields[0]), HiveNamed(fields[1])) ? ERROR_SUCCESS
                                                                                : ERROR_INSTALL_FAILURE;
}

// A rollback whose files could not be kept (Wine's rollback deletes what an
// upgrade overwrote) must not leave a Shell value that names them.
extern "C" UINT __stdcall RepairShell(MSIHANDLE install)
{
    const std::vector<std::wstring> fields = Fields(install);
    if (fields.size() != 2)
        return ERROR_SUCCESS;
    const Installation installation(fields[0]);
    const Hive hive = HiveNamed(fields[1]);
    registry::Value shell;
    if (installation.Complete() || ReadShell(hive, shell) != ERROR_SUCCESS || !installation.StartedBy(shell.Text()))
        return ERROR_SUCCESS;
    Say(install, INSTALLMESSAGE_INFO, L"shell setting: the rollback took the installation's files");
    PutBackLogged(install, installation, hive);
    return ERROR_SUCCESS; // a rollback goes on whatever a step of it finds
}
