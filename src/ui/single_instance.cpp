#include "ui/single_instance.h"

#include <windows.h>
#include <tlhelp32.h>

#include "common/program_paths.h"
#include "common/text.h"

namespace brinvale {

namespace {
constexpr int kEndingCopyGraceMs = 2500;
}  // namespace

int CountRunningCopies(const std::wstring& name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (std::wstring_view(entry.szExeFile).starts_with(name))
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

bool IsSoleInstance()
{
    const std::wstring name = FromAnsi(g_paths.szProgramFileName);
    Sleep(500);
    // A copy that is ending (the one that installed or updated this one and
    // started it) may take a little longer on a busy till: give it the time
    // before taking it for a running copy.
    for (int waited = 0; waited < kEndingCopyGraceMs; waited += 100) {
        if (CountRunningCopies(name) < 2)
            return true;
        Sleep(100);
    }
    return CountRunningCopies(name) < 2;
}

}  // namespace brinvale
