#include "ui/single_instance.h"

#include <windows.h>

#include <string>
#include <utility>

#include "common/platform.h"
#include "common/unique_handle.h"

namespace brinvale {

namespace {

// An ending copy gets the 500 ms of old, and a busy till the grace beyond.
constexpr DWORD kEndingCopyWaitMs = 500;
constexpr DWORD kEndingCopyGraceMs = 2500;

// The mutex that marks this copy's place, owned by the thread that took it
// until the process ends; the system then abandons it to the next copy.
UniqueHandle g_copyPlace;

// File names compare without letter case, object names with it: the name is
// upper-cased by the file system's rules (invariant, not linguistic).
std::wstring FoldedAsFileName(const std::wstring& name)
{
    std::wstring folded(name.size(), L'\0');
    const int length = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                                    folded.data(), static_cast<int>(folded.size()));
    return length == static_cast<int>(name.size()) ? folded : name;
}

// In the session's own namespace (Local\), so that copies of other users, in
// their sessions, never meet it. A backslash is the one character an object
// name may not hold past its namespace, and no file name holds one; the name
// stays within the MAX_PATH characters an object name may have.
std::wstring CopyMutexName()
{
    std::wstring name = L"Local\\OstrelBrinvale:" + FoldedAsFileName(ExecutablePath().filename().wstring());
    if (name.size() >= MAX_PATH)
        name.resize(MAX_PATH - 1);
    return name;
}

}  // namespace

bool IsSoleInstance()
{
    if (g_copyPlace)
        return true;
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, CopyMutexName().c_str()));
    // A name held by something this user may not open, or by an object that
    // is no mutex, is no copy of ours in this session: the till's gateway
    // starts.
    if (!mutex)
        return true;
    // Otherwise taken, handed over by a copy that ended, or a wait that failed.
    if (WaitForSingleObject(mutex.Get(), kEndingCopyWaitMs + kEndingCopyGraceMs) == WAIT_TIMEOUT)
        return false;
    g_copyPlace = std::move(mutex);
    return true;
}

}  // namespace brinvale
