// The installer's custom action: runs the shellctl.exe of the installation
// being made or removed, and puts every line it writes into the Windows
// Installer log, where an administrator of a silent install looks.
//
// CustomActionData: "<installation directory>|<fatal: 1 or 0>|<shellctl arguments>".
// A fatal run that fails fails the installation (which then rolls back) and
// says shellctl's reason as the installation's error; a run that is not fatal
// (the removal's) is logged and never stops the removal.

#include "UniqueHandle.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>

namespace {

constexpr DWORD kRunLimitMs = 5 * 60 * 1000; // the checks it runs take seconds; a hang must not hold the install
constexpr DWORD kPollMs = 50;
constexpr char kShellctl[] = "shellctl.exe";

using UniqueMsiHandle = UniqueResource<MSIHANDLE, MsiCloseHandle>;

std::string Property(MSIHANDLE install, const char *name)
{
    char empty[1] = "";
    DWORD size = 0;
    if (MsiGetPropertyA(install, name, empty, &size) != ERROR_MORE_DATA)
        return "";
    std::string value(size + 1, '\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyA(install, name, value.data(), &size) != ERROR_SUCCESS)
        return "";
    value.resize(size);
    return value;
}

void Say(MSIHANDLE install, INSTALLMESSAGE kind, const std::string &text)
{
    const UniqueMsiHandle record(MsiCreateRecord(0));
    MsiRecordSetStringA(record.get(), 0, text.c_str());
    MsiProcessMessage(install, kind, record.get());
}

// Runs the command line with its output and errors into one pipe; the exit
// code, or false when it could not be started or did not end in time.
bool Run(std::string commandLine, std::string &output, DWORD &exitCode)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueHandle reader, writer;
    if (!CreatePipe(reader.put(), writer.put(), &inherit, 0))
        return false;
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writer.get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return false;
    const UniqueHandle child(process.hProcess), thread(process.hThread);
    writer.reset(); // the pipe ends with the child
    // Read only what is there, between waits: a child that hangs with the
    // pipe open must not hold the install past the limit.
    const auto drain = [&] {
        char buffer[4096];
        DWORD available = 0, read = 0;
        while (PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
            output.append(buffer, read);
    };
    const DWORD start = GetTickCount();
    bool ended = false;
    while (!ended && GetTickCount() - start < kRunLimitMs) {
        ended = WaitForSingleObject(child.get(), kPollMs) == WAIT_OBJECT_0;
        drain();
    }
    if (!ended) {
        TerminateProcess(child.get(), ERROR_TIMEOUT);
        return false;
    }
    return GetExitCodeProcess(child.get(), &exitCode) != FALSE;
}

} // namespace

extern "C" UINT __stdcall RunShellctl(MSIHANDLE install)
{
    const std::string data = Property(install, "CustomActionData");
    const size_t first = data.find('|'), second = first == std::string::npos ? first : data.find('|', first + 1);
    if (second == std::string::npos) {
        Say(install, INSTALLMESSAGE_ERROR, "shellctl action: no installation directory in its data");
        return ERROR_INSTALL_FAILURE;
    }
    std::string dir = data.substr(0, first);
    const bool fatal = data.compare(first + 1, second - first - 1, "1") == 0;
    const std::string arguments = data.substr(second + 1);
    if (!dir.empty() && dir.back() == '\\')
        dir.pop_back();

    const std::string commandLine = "\"" + dir + "\\" + kShellctl + "\" " + arguments;
    Say(install, INSTALLMESSAGE_INFO, "shellctl action: " + commandLine);
    std::string output;
    DWORD exitCode = 0;
    const bool ran = Run(commandLine, output, exitCode);
    std::string last;
    for (size_t at = 0; at < output.size();) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos)
            end = output.size();
        std::string line = output.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty()) {
            Say(install, INSTALLMESSAGE_INFO, "shellctl: " + line);
            last = line;
        }
        at = end + 1;
    }
    if (ran && exitCode == 0)
        return ERROR_SUCCESS;
    const std::string failed = ran ? "shellctl " + arguments + " failed (exit code " + std::to_string(exitCode) +
                                         ")" + (last.empty() ? "" : ": " + last)
                                   : "shellctl " + arguments + " could not be run to its end: " + commandLine;
    Say(install, fatal ? INSTALLMESSAGE_ERROR : INSTALLMESSAGE_INFO, failed);
    return fatal ? ERROR_INSTALL_FAILURE : ERROR_SUCCESS;
}
