#include "update/update_file_win32.h"

#include <algorithm>

namespace brinvale {

bool UpdateFile::Create(const std::wstring& path)
{
    Discard();
    // Shared for reading only: no writer, and no delete or rename (the update
    // script's move waits for this program to end).
    m_file = UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file)
        return false;
    m_path = path;
    return true;
}

bool UpdateFile::Write(const void* data, DWORD size)
{
    DWORD written = 0;
    return m_file && WriteFile(m_file.Get(), data, size, &written, nullptr) && written == size;
}

std::optional<std::vector<std::uint8_t>> UpdateFile::ReadAll(std::size_t maxSize)
{
    LARGE_INTEGER size{};
    if (!m_file || !GetFileSizeEx(m_file.Get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > maxSize)
        return std::nullopt;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(m_file.Get(), start, nullptr, FILE_BEGIN))
        return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t at = 0;
    while (at < bytes.size()) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1 << 20));
        if (!ReadFile(m_file.Get(), bytes.data() + at, want, &got, nullptr) || got == 0)
            return std::nullopt;
        at += got;
    }
    return bytes;
}

void UpdateFile::Discard()
{
    if (!m_file)
        return;
    m_file.Reset();
    DeleteFileW(m_path.c_str());
}

}  // namespace brinvale
