// The DLL exports every routine of its header by the plain, undecorated name.

#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(Exports, EveryRoutineByPlainName)
{
    HMODULE dll = LoadLibraryA("modutil.dll");
    ASSERT_NE(dll, nullptr);
    for (const char *name : {"MU_StripWS", "MU_SimpleToken", "MU_BreakTokens", "MU_fOpen", "MU_fClose",
                             "MU_fSetPos", "MU_fGetPos", "MU_fFindSetPos", "MU_fGetNextLine", "MU_fGetLine",
                             "MU_TransparentStretchBlt", "MessageBoxPrintf"}) {
        EXPECT_NE(reinterpret_cast<void *>(GetProcAddress(dll, name)), nullptr) << name;
    }
    FreeLibrary(dll);
}

} // namespace
