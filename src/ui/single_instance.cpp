#include "ui/single_instance.h"

#include <windows.h>
#include <tlhelp32.h>

#include "ui/dialog.h"
#include "ui/program_paths.h"

namespace brinvale {

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
    return CountRunningCopies(name) < 2;
}

}  // namespace brinvale
