// A program another program starts and waits for: the one place that calls
// CreateProcess. Its standard output and error can be captured into a pipe,
// read only as it comes between waits, so that a child that hangs with the
// pipe open never holds its parent past the parent's own deadline.
#pragma once

#include "UniqueHandle.h"

#include <windows.h>

#include <string>

struct ChildOptions {
    const wchar_t *application = nullptr; // the program; null: the command line's first token
    const wchar_t *workDir = nullptr;     // null: the parent's
    bool capture = false;        // standard output (and error) into one pipe, read by Wait
    bool captureErrors = true;   // with capture: standard error too, else it stays the parent's
    bool quiet = false;          // standard input, output and error to NUL (unless captured)
    bool inheritHandles = false; // the child inherits every inheritable handle (one named on its command line)
    bool noWindow = false;       // no console window of its own
    // In a job that ends it should this process end first: for a helper
    // that must never outlive the one waiting for it.
    bool endWithParent = false;
};

class ChildProcess {
public:
    // Starts it; false, with the system's reason in Error(), when it cannot.
    bool Start(std::wstring commandLine, const ChildOptions &options = {});
    DWORD Error() const { return error_; }
    HANDLE Handle() const { return process_.get(); }
    DWORD Id() const { return id_; }

    // Waits up to timeoutMs for its end, reading captured output as it
    // comes; true once it has ended.
    bool Wait(DWORD timeoutMs);
    // The captured output read so far, taken out.
    std::string TakeOutput();
    // Its exit code; STILL_ACTIVE while it runs.
    DWORD ExitCode() const;
    // Ends it with that code and waits for it to be gone.
    void Terminate(UINT exitCode);

private:
    void Drain();

    UniqueHandle process_, thread_, job_, output_;
    DWORD id_ = 0;
    DWORD error_ = ERROR_SUCCESS;
    std::string read_;
};
