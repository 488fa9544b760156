// Windows services behind platform.h.
#include "common/platform.h"

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

namespace brinvale {

std::filesystem::path ExecutablePath()
{
    // GetModuleFileNameW cuts the path silently when the buffer is short, so
    // grow it until the whole path fits (paths may exceed MAX_PATH with the
    // \\?\ prefix, up to 32,767 characters).
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return std::filesystem::path(buffer);
        }
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::filesystem::path ExecutableBaseName()
{
    std::filesystem::path name = ExecutablePath().filename();
    name.replace_extension();
    return name;
}

LocalTime LocalNow()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

bool MakePrivateFolder(const std::filesystem::path& path)
{
    // No descriptor of its own: the log folder lives in the install folder
    // and takes that folder's permissions.
    return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool AppendToPrivateFile(const std::filesystem::path& path, std::string_view bytes)
{
    const auto close = [](std::FILE* f) { std::fclose(f); };
    const std::unique_ptr<std::FILE, decltype(close)> file(_wfopen(path.c_str(), L"ab"), close);
    return file && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
}

void SleepMilliseconds(int ms)
{
    Sleep(ms > 0 ? static_cast<DWORD>(ms) : 0);
}

}  // namespace brinvale
