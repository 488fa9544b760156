// The first installation starts the program from wherever the browser put it,
// and Windows looks for an imported DLL in the program's own folder before the
// system folder, except for its "known DLLs". A version.dll left in a download
// folder would run inside the gateway. So the imports Windows does not know
// are delay imports (CMakeLists.txt, cmake/delay/), loaded here by full path
// before their first call; the late-import helper then finds them loaded.
#include "common/system_libraries.h"

#include <windows.h>

#include <string>

namespace brinvale {

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;   // declared for Windows 8 and later
#endif

// Their names as the delay-import tables spell them.
constexpr const wchar_t* kLateImports[] = {L"bcrypt.dll", L"VERSION.dll", L"WININET.dll"};

std::wstring SystemFolder()
{
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(folder, length);
}

// Windows 8, and Windows 7 with KB2533623: later loads by name (those the
// system DLLs make themselves) search the system folder only.
void KeepLoadsToSystemFolder()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    auto set_default = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (set_default) {
        set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    } else {
        SetDllDirectoryW(L"");   // at least not the current folder
    }
}

}  // namespace

bool LoadSystemLibraries()
{
    KeepLoadsToSystemFolder();
    std::wstring folder = SystemFolder();
    if (folder.empty()) return false;
    bool all_loaded = true;
    for (const wchar_t* name : kLateImports) {
        std::wstring path = folder + L'\\' + name;
        // The DLL's own imports are looked for in its folder first.
        if (!LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) all_loaded = false;
    }
    return all_loaded;
}

}  // namespace brinvale
