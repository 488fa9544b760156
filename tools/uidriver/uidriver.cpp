// uidriver: drives the windows of another process with plain window messages,
// for the end-to-end tests of the gateway's windows (under Wine and on
// Windows alike). One command per run; results go to stdout as UTF-8, one
// item per line.
//
// Exit status: 0 success, 1 failure or time-out (a short message on stderr),
// 2 usage error. Run without arguments for the list of commands.
//
// Windows are named by their exact caption. The gateway has three top-level
// windows captioned "OstrelBrinvale" (the main window, the About dialog and its
// message boxes), so the lookup ranks them: message boxes only when a message
// box is asked for, a window that holds the control a command names, and
// `--has ID` to demand a control (the main window holds port list 1000).
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr UINT kTrayCallbackMessage = WM_USER + 1;  // the gateway's icon callback
constexpr UINT kTrayIconId = 1;
constexpr DWORD kSendTimeoutMs = 5000;  // a sent message that takes longer: the window hangs
constexpr DWORD kDefaultWaitMs = 10000;
constexpr DWORD kDefaultMessageBoxWaitMs = 5000;
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr int kMessageBoxTextId = 0xFFFF;  // the static holding a message box's text

const wchar_t kDialogClass[] = L"#32770";
const wchar_t kMenuClass[] = L"#32768";
const wchar_t kDefaultMessageBoxCaption[] = L"OstrelBrinvale";

// What --help prints before and after the commands (Driver::Commands).
const char kUsageHead[] =
    "usage: uidriver [--has ID] [--pid PID] [--wait MS] COMMAND [ARGS...]\n"
    "\n"
    "CAPTION is a top-level window's exact caption, or hwnd:0x... for one window\n"
    "by its handle. Among several windows with the caption, ordinary windows come\n"
    "before message boxes (the msgbox commands take only message boxes), a\n"
    "command's control ID must exist in the window, --has ID demands one more\n"
    "control (not of message boxes) and --pid PID one process; of what remains\n"
    "the topmost is taken, with a note on stderr when that was a guess.\n"
    "--wait MS waits that long for the window (default: no wait).\n"
    "IDs are decimal or 0x hex. Booleans print yes or no.\n";
const char kUsageKeys[] =
    "Keys: enter escape tab space backspace up down left right home end pageup\n"
    "pagedown insert delete f1..f12, one letter or digit, or a virtual-key number.\n"
    "Mouse messages: mousemove lbuttondown lbuttonup lbuttondblclk rbuttondown\n"
    "rbuttonup rbuttondblclk mbuttondown mbuttonup contextmenu, or a number.\n";

// ---------------------------------------------------------------------------
// Errors and output

class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string ToUtf8(std::wstring_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// UTF-8 to UTF-16; nothing when the bytes are not valid UTF-8.
std::optional<std::wstring> FromUtf8(std::string_view bytes)
{
    if (bytes.empty()) {
        return std::wstring();
    }
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                         static_cast<int>(bytes.size()), nullptr, 0);
    if (size <= 0) {
        return std::nullopt;
    }
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                        out.data(), size);
    return out;
}

std::wstring Widen(std::string_view ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

// stdout and stderr are switched to binary mode in wmain, so "\n" stays "\n"
// and the UTF-8 bytes pass unchanged.
void WriteLine(std::wstring_view text)
{
    const std::string bytes = ToUtf8(text) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void WriteNote(std::wstring_view text)
{
    const std::string bytes = "uidriver: " + ToUtf8(text) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

std::wstring YesNo(bool value)
{
    return value ? L"yes" : L"no";
}

std::wstring Hex(uint64_t value, int digits = 8)
{
    wchar_t buffer[32];
    std::swprintf(buffer, std::size(buffer), L"0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buffer;
}

std::wstring HwndText(HWND hwnd)
{
    return Hex(reinterpret_cast<uintptr_t>(hwnd));
}

std::wstring RectText(const RECT& rect)
{
    return std::to_wstring(rect.left) + L" " + std::to_wstring(rect.top) + L" " +
           std::to_wstring(rect.right) + L" " + std::to_wstring(rect.bottom);
}

// For listings: one item must stay on one line.
std::wstring OneLine(std::wstring text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n') {
            out += L"\\n";
        } else if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\t') {
            out += L"\\t";
        } else {
            out += c;
        }
    }
    return out;
}

bool EqualNoCase(std::wstring_view a, std::wstring_view b)
{
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// ---------------------------------------------------------------------------
// Arguments

// Wine decodes the Unix command line with the Unix locale's character set.
// Under any UTF-8 locale (wine-run.sh always sets one) arguments arrive
// intact. Under a Latin-1 locale the bytes of a UTF-8 argument arrive one
// character each, so "테스트" comes as nine Latin characters; such an argument
// is put back together from its bytes when they form valid UTF-8. (Under the
// C locale Wine drops the high bit of every byte, and nothing can be done.)
std::wstring RepairArgument(std::wstring argument)
{
    bool anyHigh = false;
    std::string bytes;
    for (wchar_t c : argument) {
        if (c > 0xFF) {
            return argument;  // already real Unicode
        }
        anyHigh = anyHigh || c >= 0x80;
        bytes += static_cast<char>(c);
    }
    if (!anyHigh) {
        return argument;
    }
    if (auto decoded = FromUtf8(bytes)) {
        return *decoded;
    }
    return argument;
}

long long ParseNumber(std::wstring_view text, const char* what)
{
    std::wstring copy(text);
    if (copy.empty()) {
        throw UsageError(std::string("empty ") + what);
    }
    wchar_t* end = nullptr;
    errno = 0;
    const long long value = std::wcstoll(copy.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != L'\0') {
        throw UsageError(std::string("not a number for ") + what + ": " + ToUtf8(text));
    }
    return value;
}

DWORD ParseMilliseconds(std::wstring_view text)
{
    const long long value = ParseNumber(text, "a time-out");
    if (value < 0 || value > 3'600'000) {
        throw UsageError("time-out out of range: " + ToUtf8(text));
    }
    return static_cast<DWORD>(value);
}

int ParseControlId(std::wstring_view text)
{
    const long long value = ParseNumber(text, "a control id");
    if (value < -1 || value > 0xFFFF) {
        throw UsageError("control id out of range: " + ToUtf8(text));
    }
    return static_cast<int>(value & 0xFFFF);
}

struct NamedValue {
    const wchar_t* name;
    UINT value;
};

constexpr NamedValue kKeys[] = {
    {L"enter", VK_RETURN},   {L"return", VK_RETURN}, {L"escape", VK_ESCAPE}, {L"esc", VK_ESCAPE},
    {L"tab", VK_TAB},        {L"space", VK_SPACE},   {L"backspace", VK_BACK}, {L"up", VK_UP},
    {L"down", VK_DOWN},      {L"left", VK_LEFT},     {L"right", VK_RIGHT},   {L"home", VK_HOME},
    {L"end", VK_END},        {L"pageup", VK_PRIOR},  {L"pgup", VK_PRIOR},    {L"pagedown", VK_NEXT},
    {L"pgdn", VK_NEXT},      {L"insert", VK_INSERT}, {L"delete", VK_DELETE}, {L"del", VK_DELETE},
    {L"f1", VK_F1},          {L"f2", VK_F2},         {L"f3", VK_F3},         {L"f4", VK_F4},
    {L"f5", VK_F5},          {L"f6", VK_F6},         {L"f7", VK_F7},         {L"f8", VK_F8},
    {L"f9", VK_F9},          {L"f10", VK_F10},       {L"f11", VK_F11},       {L"f12", VK_F12},
};

constexpr NamedValue kMouseMessages[] = {
    {L"mousemove", WM_MOUSEMOVE},         {L"lbuttondown", WM_LBUTTONDOWN},
    {L"lbuttonup", WM_LBUTTONUP},         {L"lbuttondblclk", WM_LBUTTONDBLCLK},
    {L"rbuttondown", WM_RBUTTONDOWN},     {L"rbuttonup", WM_RBUTTONUP},
    {L"rbuttondblclk", WM_RBUTTONDBLCLK}, {L"mbuttondown", WM_MBUTTONDOWN},
    {L"mbuttonup", WM_MBUTTONUP},         {L"contextmenu", WM_CONTEXTMENU},
};

constexpr NamedValue kButtons[] = {
    {L"ok", IDOK},           {L"cancel", IDCANCEL}, {L"abort", IDABORT},
    {L"retry", IDRETRY},     {L"ignore", IDIGNORE}, {L"yes", IDYES},
    {L"no", IDNO},           {L"close", IDCLOSE},   {L"help", IDHELP},
    {L"tryagain", IDTRYAGAIN}, {L"continue", IDCONTINUE},
};


std::optional<UINT> LookUp(std::span<const NamedValue> table, std::wstring_view name)
{
    for (const auto& entry : table) {
        if (EqualNoCase(entry.name, name)) {
            return entry.value;
        }
    }
    return std::nullopt;
}

const wchar_t* NameOf(std::span<const NamedValue> table, UINT value)
{
    for (const auto& entry : table) {
        if (entry.value == value) {
            return entry.name;
        }
    }
    return nullptr;
}

UINT ParseKey(std::wstring_view name)
{
    if (auto key = LookUp(kKeys, name)) {
        return *key;
    }
    if (name.size() == 1 && std::iswalnum(name[0]) && name[0] < 0x80) {
        return static_cast<UINT>(std::towupper(name[0]));
    }
    const long long value = ParseNumber(name, "a key");
    if (value <= 0 || value > 0xFE) {
        throw UsageError("virtual key out of range: " + ToUtf8(name));
    }
    return static_cast<UINT>(value);
}

UINT ParseNamedOrNumber(std::span<const NamedValue> table, std::wstring_view name, const char* what)
{
    if (auto value = LookUp(table, name)) {
        return *value;
    }
    const long long value = ParseNumber(name, what);
    if (value < 0 || value > 0xFFFF) {
        throw UsageError(std::string(what) + " out of range: " + ToUtf8(name));
    }
    return static_cast<UINT>(value);
}

// ---------------------------------------------------------------------------
// Handles

class UniqueHandle {
public:
    explicit UniqueHandle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~UniqueHandle()
    {
        if (valid()) {
            CloseHandle(m_handle);
        }
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle;
};

// ---------------------------------------------------------------------------
// Windows and controls

std::wstring ClassName(HWND hwnd)
{
    wchar_t buffer[256];
    const int length = GetClassNameW(hwnd, buffer, static_cast<int>(std::size(buffer)));
    return std::wstring(buffer, length > 0 ? static_cast<size_t>(length) : 0);
}

// The caption as the window manager keeps it: no message is sent, so a hung
// window cannot stall the lookup.
std::wstring Caption(HWND hwnd)
{
    const int length = GetWindowTextLengthW(hwnd);
    std::wstring text(static_cast<size_t>(std::max(length, 0)) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

DWORD ProcessOf(HWND hwnd)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

LRESULT Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &result)) {
        throw Failure("the window did not answer message " + ToUtf8(Hex(message, 4)) +
                      " (hung, or gone)");
    }
    return static_cast<LRESULT>(result);
}

void Post(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!PostMessageW(hwnd, message, wParam, lParam)) {
        throw Failure("PostMessage failed, error " + std::to_string(GetLastError()));
    }
}

// WM_GETTEXT is marshalled between processes by the system (GetWindowText is
// not, for controls of another process).
std::wstring ControlText(HWND hwnd)
{
    const auto length = Send(hwnd, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const auto got = Send(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::clamp<LRESULT>(got, 0, length)));
    return text;
}

std::vector<HWND> ChildrenOf(HWND parent)
{
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

// Control ids are 16 bits in dialog templates; a template's -1 (IDC_STATIC)
// may come back as 0xFFFF or as -1 depending on the template form.
int ControlIdOf(HWND control)
{
    return GetDlgCtrlID(control) & 0xFFFF;
}

HWND FindControl(HWND parent, int id)
{
    for (HWND child : ChildrenOf(parent)) {
        if (ControlIdOf(child) == id) {
            return child;
        }
    }
    return nullptr;
}

bool IsIconStatic(HWND control)
{
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE));
    return (style & SS_TYPEMASK) == SS_ICON;
}

// A message box is a dialog holding nothing but statics and buttons, its text
// in static 0xFFFF and at least one of the standard answer buttons. The
// gateway's own dialogs all hold other controls (lists, links, a track bar) or
// no answer button, so none of them passes for one.
bool IsMessageBox(HWND hwnd)
{
    if (ClassName(hwnd) != kDialogClass) {
        return false;
    }
    bool hasText = false;
    bool hasAnswer = false;
    for (HWND child : ChildrenOf(hwnd)) {
        const std::wstring cls = ClassName(child);
        const int id = ControlIdOf(child);
        if (EqualNoCase(cls, L"Static")) {
            hasText = hasText || (id == kMessageBoxTextId && !IsIconStatic(child));
        } else if (EqualNoCase(cls, L"Button")) {
            hasAnswer = hasAnswer || (id >= IDOK && id <= IDCONTINUE && id != IDHELP);
        } else {
            return false;
        }
    }
    return hasText && hasAnswer;
}

BOOL CALLBACK AddTopLevelWindow(HWND hwnd, LPARAM context)
{
    reinterpret_cast<std::vector<HWND>*>(context)->push_back(hwnd);
    return TRUE;
}

std::vector<HWND> TopLevelWindows()
{
    std::vector<HWND> windows;
    EnumWindows(AddTopLevelWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

enum class WindowKind { Window, MessageBox };

struct Selector {
    std::optional<int> hasControl;  // --has
    std::optional<DWORD> pid;       // --pid
    DWORD waitMs = 0;               // --wait
};

struct Lookup {
    std::wstring caption;
    WindowKind kind = WindowKind::Window;
    std::optional<int> control;  // the control the command works on
};

struct Match {
    std::vector<HWND> windows;  // best first
    bool guessed = false;       // several windows shared the best rank
};

// "hwnd:0x..." names one window by its handle, as `windows` and
// `wait-window` print it.
std::optional<HWND> HandleIn(std::wstring_view caption)
{
    constexpr std::wstring_view kPrefix = L"hwnd:";
    if (!caption.starts_with(kPrefix)) {
        return std::nullopt;
    }
    const auto value = ParseNumber(caption.substr(kPrefix.size()), "a window handle");
    return reinterpret_cast<HWND>(static_cast<intptr_t>(value));
}

Match FindWindows(const Selector& selector, const Lookup& lookup)
{
    if (const auto handle = HandleIn(lookup.caption)) {
        Match match;
        const bool wanted = IsWindow(*handle) &&
                            (lookup.kind == WindowKind::Window || IsMessageBox(*handle));
        if (wanted) {
            match.windows.push_back(*handle);
        }
        return match;
    }
    const DWORD self = GetCurrentProcessId();
    std::vector<HWND> plain;
    std::vector<HWND> boxes;
    for (HWND hwnd : TopLevelWindows()) {
        const DWORD pid = ProcessOf(hwnd);
        if (pid == self || (selector.pid && pid != *selector.pid) || Caption(hwnd) != lookup.caption) {
            continue;
        }
        const bool box = IsMessageBox(hwnd);
        if (lookup.kind == WindowKind::MessageBox) {
            if (box) {
                boxes.push_back(hwnd);
            }
            continue;
        }
        if (selector.hasControl && !FindControl(hwnd, *selector.hasControl)) {
            continue;
        }
        if (lookup.control && *lookup.control != 0 && !FindControl(hwnd, *lookup.control)) {
            continue;
        }
        (box ? boxes : plain).push_back(hwnd);
    }
    Match match;
    const bool plainFirst = lookup.kind == WindowKind::Window && !plain.empty();
    match.guessed = plainFirst ? plain.size() > 1 : boxes.size() > 1;
    match.windows = plainFirst ? plain : boxes;
    if (plainFirst) {
        match.windows.insert(match.windows.end(), boxes.begin(), boxes.end());
    }
    return match;
}

// Repeats `ready` until it gives true or `timeoutMs` has passed; checks at
// least once.
template <typename Predicate>
bool WaitUntil(DWORD timeoutMs, Predicate ready)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ready()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

std::string Describe(const Lookup& lookup)
{
    std::string text = lookup.kind == WindowKind::MessageBox ? "message box" : "window";
    text += " \"" + ToUtf8(lookup.caption) + "\"";
    if (lookup.control && *lookup.control != 0) {
        text += " with control " + std::to_string(*lookup.control);
    }
    return text;
}

HWND FindWindowOrFail(const Selector& selector, const Lookup& lookup, DWORD waitMs)
{
    Match match;
    WaitUntil(waitMs, [&] {
        match = FindWindows(selector, lookup);
        return !match.windows.empty();
    });
    if (match.windows.empty()) {
        throw Failure("no " + Describe(lookup));
    }
    if (match.guessed) {
        std::wstring handles;
        for (HWND hwnd : match.windows) {
            handles += L" " + HwndText(hwnd);
        }
        WriteNote(L"note: several windows match \"" + lookup.caption + L"\" (" + handles.substr(1) +
                  L"); took the first (--has ID or --pid PID picks one)");
    }
    return match.windows.front();
}

HWND ControlOrFail(HWND window, int id)
{
    if (id == 0) {
        return window;
    }
    HWND control = FindControl(window, id);
    if (!control) {
        throw Failure("no control " + std::to_string(id));
    }
    return control;
}

// A user can use a control only when it and its window are enabled.
void RequireUsable(HWND window, HWND control, bool force)
{
    if (force) {
        return;
    }
    if (!IsWindowEnabled(window)) {
        throw Failure("the window is disabled (a modal window is open?); --force overrides");
    }
    if (!IsWindowEnabled(control)) {
        throw Failure("control " + std::to_string(ControlIdOf(control)) +
                      " is disabled; --force overrides");
    }
}

HWND FocusOf(HWND window)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

LPARAM KeyData(UINT vk, bool up)
{
    const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    static constexpr UINT kExtended[] = {VK_UP,   VK_DOWN,  VK_LEFT,   VK_RIGHT, VK_HOME,
                                         VK_END,  VK_PRIOR, VK_NEXT,   VK_INSERT, VK_DELETE};
    const bool extended = std::find(std::begin(kExtended), std::end(kExtended), vk) != std::end(kExtended);
    uint32_t data = 1 | ((scan & 0xFF) << 16) | (extended ? (1u << 24) : 0u);
    if (up) {
        data |= (1u << 30) | (1u << 31);
    }
    return static_cast<LPARAM>(data);
}

void PostKey(HWND target, UINT vk)
{
    Post(target, WM_KEYDOWN, vk, KeyData(vk, false));
    Post(target, WM_KEYUP, vk, KeyData(vk, true));
}

std::vector<HWND> ShownMenus()
{
    std::vector<HWND> menus;
    const DWORD self = GetCurrentProcessId();
    for (HWND hwnd : TopLevelWindows()) {
        if (IsWindowVisible(hwnd) && ClassName(hwnd) == kMenuClass && ProcessOf(hwnd) != self) {
            menus.push_back(hwnd);
        }
    }
    return menus;
}

std::vector<std::wstring> ComboItems(HWND combo)
{
    const auto count = Send(combo, CB_GETCOUNT, 0, 0);
    if (count == CB_ERR) {
        throw Failure("not a combo box (CB_GETCOUNT failed)");
    }
    std::vector<std::wstring> items;
    for (LRESULT i = 0; i < count; ++i) {
        const auto length = Send(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length == CB_ERR) {
            throw Failure("CB_GETLBTEXTLEN failed for entry " + std::to_string(i));
        }
        std::wstring text(static_cast<size_t>(length) + 1, L'\0');
        const auto got = Send(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                              reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<size_t>(std::clamp<LRESULT>(got, 0, length)));
        items.push_back(std::move(text));
    }
    return items;
}

void SelectComboIndex(HWND combo, LRESULT index)
{
    const auto count = Send(combo, CB_GETCOUNT, 0, 0);
    if (index < -1 || index >= count) {
        throw Failure("index " + std::to_string(index) + " outside the " + std::to_string(count) +
                      " entries");
    }
    const auto result = Send(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (result != index) {
        throw Failure("CB_SETCURSEL did not take index " + std::to_string(index));
    }
    // Posted, not sent: the dialog's handler may open a message box, and a
    // sent message would hold this process until it is answered.
    Post(GetParent(combo), WM_COMMAND, MAKEWPARAM(ControlIdOf(combo), CBN_SELCHANGE),
         reinterpret_cast<LPARAM>(combo));
}

struct ProcessEntry {
    DWORD pid;
    std::wstring name;
    DWORD threads;
};

std::vector<ProcessEntry> Processes()
{
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        throw Failure("cannot list processes, error " + std::to_string(GetLastError()));
    }
    std::vector<ProcessEntry> processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        processes.push_back({entry.th32ProcessID, entry.szExeFile, entry.cntThreads});
    }
    return processes;
}

// NAME matches the executable's file name, with or without ".exe".
bool ProcessNameMatches(std::wstring_view exe, std::wstring_view name)
{
    if (const auto slash = exe.find_last_of(L"\\/"); slash != std::wstring_view::npos) {
        exe.remove_prefix(slash + 1);
    }
    if (EqualNoCase(exe, name)) {
        return true;
    }
    return exe.size() == name.size() + 4 && EqualNoCase(exe.substr(0, name.size()), name) &&
           EqualNoCase(exe.substr(name.size()), L".exe");
}

std::vector<DWORD> ProcessesNamed(std::wstring_view name)
{
    std::vector<DWORD> pids;
    const DWORD self = GetCurrentProcessId();
    for (const auto& process : Processes()) {
        if (process.pid != self && ProcessNameMatches(process.name, name)) {
            pids.push_back(process.pid);
        }
    }
    return pids;
}

// ---------------------------------------------------------------------------
// Shell links

class ComSession {
public:
    ComSession()
    {
        const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(result)) {
            throw Failure("CoInitializeEx failed, " + ToUtf8(Hex(static_cast<uint32_t>(result))));
        }
    }
    ~ComSession() { CoUninitialize(); }
    ComSession(const ComSession&) = delete;
    ComSession& operator=(const ComSession&) = delete;
};

template <typename Interface>
class ComRef {
public:
    ComRef() = default;
    ~ComRef()
    {
        if (m_p) {
            m_p->Release();
        }
    }
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;

    void** Out() { return reinterpret_cast<void**>(&m_p); }
    Interface* operator->() const { return m_p; }

private:
    Interface* m_p = nullptr;
};

void CheckCom(HRESULT result, const char* what)
{
    if (FAILED(result)) {
        throw Failure(std::string(what) + " failed, " + ToUtf8(Hex(static_cast<uint32_t>(result))));
    }
}

struct ShortcutInfo {
    std::wstring target;
    std::wstring workingDirectory;
};

// The paths as the link file holds them (no search for a moved target).
ShortcutInfo ReadShortcut(const std::wstring& path)
{
    ComSession com;
    ComRef<IShellLinkW> link;
    CheckCom(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.Out()),
             "creating the shell link object");
    ComRef<IPersistFile> file;
    CheckCom(link->QueryInterface(IID_IPersistFile, file.Out()), "IPersistFile");
    CheckCom(file->Load(path.c_str(), STGM_READ), "loading the shortcut");
    ShortcutInfo info;
    wchar_t buffer[MAX_PATH + 1] = {};
    CheckCom(link->GetPath(buffer, static_cast<int>(std::size(buffer)), nullptr, SLGP_RAWPATH), "GetPath");
    info.target = buffer;
    buffer[0] = L'\0';
    CheckCom(link->GetWorkingDirectory(buffer, static_cast<int>(std::size(buffer))), "GetWorkingDirectory");
    info.workingDirectory = buffer;
    return info;
}

// ---------------------------------------------------------------------------
// Commands

class Driver {
public:
    Driver(Selector selector, std::vector<std::wstring> args)
        : m_selector(selector), m_args(std::move(args))
    {
    }

    int Run();

    // --help: the usage, every command with its arguments, the keys.
    static void PrintUsage(std::FILE* out);

private:
    struct CommandEntry {
        const char* name;
        const char* arguments;
        const char* help;  // lines after the first are indented under it
        int (*run)(Driver&);
    };
    struct CommandSection {
        const char* title;  // with its note, if any
        std::vector<CommandEntry> commands;
    };
    // Every command, in the order --help lists them, with its arguments,
    // what it does and what runs it: the one list of the driver's commands.
    static const std::vector<CommandSection>& Commands();

    size_t Count() const { return m_args.size(); }
    const std::wstring& Arg(size_t i) const { return m_args.at(i); }

    void Expect(size_t minimum, size_t maximum) const
    {
        if (Count() < minimum || Count() > maximum) {
            throw UsageError("wrong number of arguments for " + ToUtf8(m_command));
        }
    }

    DWORD OptionalMs(size_t index, DWORD fallback) const
    {
        return Count() > index ? ParseMilliseconds(Arg(index)) : fallback;
    }

    HWND Window(const std::wstring& caption, std::optional<int> control = std::nullopt) const
    {
        return FindWindowOrFail(m_selector, {caption, WindowKind::Window, control}, m_selector.waitMs);
    }

    HWND MessageBoxWindow(const std::wstring& caption, DWORD waitMs) const
    {
        return FindWindowOrFail(m_selector, {caption, WindowKind::MessageBox, std::nullopt}, waitMs);
    }

    // CAPTION ID: the control (the window itself for ID 0) and its window.
    std::pair<HWND, HWND> WindowAndControl(size_t captionIndex, size_t idIndex) const
    {
        const int id = ParseControlId(Arg(idIndex));
        HWND window = Window(Arg(captionIndex), id);
        return {window, ControlOrFail(window, id)};
    }

    // Optional message box arguments: [CAPTION [MS]].
    std::pair<std::wstring, DWORD> MessageBoxArgs() const
    {
        Expect(0, 2);
        return {Count() > 0 ? Arg(0) : std::wstring(kDefaultMessageBoxCaption),
                OptionalMs(1, kDefaultMessageBoxWaitMs)};
    }

    int Windows();
    int WaitWindow(bool gone);
    int WaitVisible(bool visible);
    int WaitText();
    int Children();
    int Text();
    int BooleanOf(BOOL(WINAPI* test)(HWND));
    int Iconic();
    int Topmost();
    int Style();
    int Alpha();
    int Rect();
    int Owner();
    int Focus();
    int Screen();
    int Click();
    int CheckState();
    int ComboItemsCommand();
    int ComboSel();
    int Select(bool byText);
    int Slider();
    int SliderPos();
    int Key();
    int Command();
    int Tray();
    int Close();
    int PostCommand();
    int Minimize();
    int MessageBoxText();
    int MessageBoxButtons();
    int Answer();
    int WaitMenu(bool gone);
    int MenuKey();
    int ProcessList();
    int WaitProcessGone();
    int KillProcess();
    int ProcessInfo();
    int Echo();
    int ShortcutTarget();
    int HoldFile();
    int Acl();

    Selector m_selector;
    std::vector<std::wstring> m_args;  // after the command name
    std::wstring m_command;
    bool m_force = false;
};

int Driver::Run()
{
    if (m_args.empty()) {
        throw UsageError("no command");
    }
    m_command = m_args.front();
    m_args.erase(m_args.begin());
    if (!m_args.empty() && m_args.front() == L"--force") {
        m_force = true;
        m_args.erase(m_args.begin());
    }

    for (const CommandSection& section : Commands()) {
        for (const CommandEntry& entry : section.commands) {
            if (m_command == Widen(entry.name))
                return entry.run(*this);
        }
    }
    throw UsageError("unknown command: " + ToUtf8(m_command));
}

const std::vector<Driver::CommandSection>& Driver::Commands()
{
    static const std::vector<CommandSection> sections = {
        {"Windows",
         {
             {"windows", "[--all]", "top-level windows of other processes: hwnd, pid,\nvisible, class, caption (tab-separated); without\n--all only those visible or with a caption",
              [](Driver& d) { return d.Windows(); }},
             {"wait-window", "CAPTION [MS]", "wait until the window exists (default 10000 ms);\nprints its hwnd",
              [](Driver& d) { return d.WaitWindow(false); }},
             {"wait-gone", "CAPTION [MS]", "wait until no such window exists",
              [](Driver& d) { return d.WaitWindow(true); }},
             {"wait-visible", "CAPTION [MS]", "wait until the window exists and is visible",
              [](Driver& d) { return d.WaitVisible(true); }},
             {"wait-hidden", "CAPTION [MS]", "wait until no such window is visible (hidden or gone)",
              [](Driver& d) { return d.WaitVisible(false); }},
             {"wait-text", "CAPTION ID TEXT [MS]", "wait until control ID's text equals TEXT",
              [](Driver& d) { return d.WaitText(); }},
             {"children", "CAPTION", "controls: id, class, visible, enabled, text",
              [](Driver& d) { return d.Children(); }},
             {"text", "CAPTION ID", "text of control ID (ID 0: the caption)",
              [](Driver& d) { return d.Text(); }},
             {"visible", "CAPTION [ID]", "IsWindowVisible of the window or a control",
              [](Driver& d) { return d.BooleanOf(IsWindowVisible); }},
             {"enabled", "CAPTION [ID]", "IsWindowEnabled of the window or a control",
              [](Driver& d) { return d.BooleanOf(IsWindowEnabled); }},
             {"iconic", "CAPTION", "minimised?",
              [](Driver& d) { return d.Iconic(); }},
             {"topmost", "CAPTION", "WS_EX_TOPMOST set?",
              [](Driver& d) { return d.Topmost(); }},
             {"style", "CAPTION [ID]", "window style, hex",
              [](Driver& d) { return d.Style(); }},
             {"alpha", "CAPTION", "layered-window alpha 0-255, or none (not layered,\nor no LWA_ALPHA)",
              [](Driver& d) { return d.Alpha(); }},
             {"rect", "CAPTION [ID]", "screen rectangle: left top right bottom",
              [](Driver& d) { return d.Rect(); }},
             {"owner", "CAPTION", "owner window: hwnd and caption, or none",
              [](Driver& d) { return d.Owner(); }},
             {"focus", "CAPTION", "id of the control with the keyboard focus in the\nwindow's thread (0 when none, or the window)",
              [](Driver& d) { return d.Focus(); }},
             {"screen", "", "size W H / work L T R B of the primary screen",
              [](Driver& d) { return d.Screen(); }},
         }},
        {"Controls (the action commands refuse a disabled control or window, as a\nuser could not use it, unless --force follows the command name)",
         {
             {"click", "CAPTION ID", "post BM_CLICK to button ID",
              [](Driver& d) { return d.Click(); }},
             {"check-state", "CAPTION ID...", "BM_GETCHECK: 0 unchecked, 1 checked, 2 indeterminate,\none line for each ID",
              [](Driver& d) { return d.CheckState(); }},
             {"combo-items", "CAPTION ID", "the combo box's entries, one a line",
              [](Driver& d) { return d.ComboItemsCommand(); }},
             {"combo-sel", "CAPTION ID", "selected index, -1 for none",
              [](Driver& d) { return d.ComboSel(); }},
             {"select", "CAPTION ID INDEX", "CB_SETCURSEL, then post WM_COMMAND(CBN_SELCHANGE)\nto the combo box's parent",
              [](Driver& d) { return d.Select(false); }},
             {"select-text", "CAPTION ID TEXT", "the same for the entry whose text is TEXT",
              [](Driver& d) { return d.Select(true); }},
             {"slider", "CAPTION ID POS", "TBM_SETPOS, then post WM_HSCROLL (WM_VSCROLL for a\nvertical one) TB_THUMBPOSITION and TB_ENDTRACK",
              [](Driver& d) { return d.Slider(); }},
             {"slider-pos", "CAPTION ID", "TBM_GETPOS",
              [](Driver& d) { return d.SliderPos(); }},
             {"key", "CAPTION ID KEY...", "post WM_KEYDOWN and WM_KEYUP to control ID (0: the\nwindow itself; focus: the focused control)",
              [](Driver& d) { return d.Key(); }},
             {"command", "CAPTION ID", "post WM_COMMAND(ID, 0), as a menu command",
              [](Driver& d) { return d.Command(); }},
             {"tray", "CAPTION MOUSE [ICON]", "post the icon callback WM_USER+1 (wParam ICON,\ndefault 1; lParam the mouse message)",
              [](Driver& d) { return d.Tray(); }},
             {"close", "CAPTION", "post WM_CLOSE",
              [](Driver& d) { return d.Close(); }},
             {"post", "CAPTION MESSAGE", "post a window message (a number) with 0, 0",
              [](Driver& d) { return d.PostCommand(); }},
             {"minimize", "CAPTION", "post WM_SYSCOMMAND SC_MINIMIZE",
              [](Driver& d) { return d.Minimize(); }},
         }},
        {"Message boxes (#32770 windows holding only statics and buttons, with the\ntext in static 0xFFFF; default caption OstrelBrinvale, default wait 5000 ms)",
         {
             {"msgbox", "[CAPTION [MS]]", "wait for one and print its text",
              [](Driver& d) { return d.MessageBoxText(); }},
             {"msgbox-buttons", "[CAPTION [MS]]", "its visible buttons, one a line",
              [](Driver& d) { return d.MessageBoxButtons(); }},
             {"answer", "CAPTION BUTTON [MS]", "post BM_CLICK to ok cancel yes no abort retry\nignore tryagain continue, then wait for the box\nto close",
              [](Driver& d) { return d.Answer(); }},
         }},
        {"Pop-up menus (their items cannot be read from another process under Wine)",
         {
             {"wait-menu", "[MS]", "wait for one (default 5000 ms)",
              [](Driver& d) { return d.WaitMenu(false); }},
             {"wait-menu-gone", "[MS]", "wait until none is shown",
              [](Driver& d) { return d.WaitMenu(true); }},
             {"menu-key", "KEY...", "post the keys to it (up down left right enter\nescape home end, ...)",
              [](Driver& d) { return d.MenuKey(); }},
         }},
        {"Processes",
         {
             {"processes", "[NAME]", "pid and executable name, one process a line",
              [](Driver& d) { return d.ProcessList(); }},
             {"wait-process-gone", "NAME [MS]", "wait until no process of that executable runs",
              [](Driver& d) { return d.WaitProcessGone(); }},
             {"kill-process", "NAME", "TerminateProcess on every process of that\nexecutable (test clean-up); prints how many",
              [](Driver& d) { return d.KillProcess(); }},
             {"process-info", "NAME", "resources of every process of that executable,\none line each: pid, then tab-separated\nhandles= threads= working_set= peak_working_set=\nprivate= (bytes) gdi= user= cpu_ms=; - where\nthe system gave no answer (handles come from\nthe system handle table when the process's own\ncount is 0, as under Wine)",
              [](Driver& d) { return d.ProcessInfo(); }},
             {"echo", "ARG...", "each argument and its code points (checks how\narguments arrive)",
              [](Driver& d) { return d.Echo(); }},
         }},
        {"Files",
         {
             {"shortcut-target", "PATH", "a shell link (.lnk) file's target path and\nworking directory, one a line",
              [](Driver& d) { return d.ShortcutTarget(); }},
             {"hold-file", "PATH MS", "keep the file open for reading, shared for\nreading only, for MS ms (as another program\nthat holds it would); prints \"held\" once open",
              [](Driver& d) { return d.HoldFile(); }},
             {"acl", "PATH", "the file's or folder's owner and DACL as the\nsystem reads them back (SDDL), one a line",
              [](Driver& d) { return d.Acl(); }},
         }},
    };
    return sections;
}

void Driver::PrintUsage(std::FILE* out)
{
    std::fputs(kUsageHead, out);
    for (const CommandSection& section : Commands()) {
        std::fprintf(out, "\n%s\n", section.title);
        for (const CommandEntry& entry : section.commands) {
            const std::string call = std::string(entry.name) + " " + entry.arguments;
            // The help starts in column 32, or two blanks after a longer call.
            std::fprintf(out, "  %-29s", call.c_str());
            if (call.size() >= 29)
                std::fputs("  ", out);
            for (const char* c = entry.help; *c; ++c) {
                std::fputc(*c, out);
                if (*c == '\n')
                    std::fprintf(out, "%31s", "");
            }
            std::fputc('\n', out);
        }
    }
    std::fputs("\n", out);
    std::fputs(kUsageKeys, out);
}

int Driver::Windows()
{
    Expect(0, 1);
    const bool all = Count() == 1 && Arg(0) == L"--all";
    if (Count() == 1 && !all) {
        throw UsageError("windows takes only --all");
    }
    const DWORD self = GetCurrentProcessId();
    for (HWND hwnd : TopLevelWindows()) {
        const DWORD pid = ProcessOf(hwnd);
        const bool visible = IsWindowVisible(hwnd);
        const std::wstring caption = Caption(hwnd);
        if (pid == self || (!all && !visible && caption.empty())) {
            continue;
        }
        WriteLine(HwndText(hwnd) + L"\t" + std::to_wstring(pid) + L"\t" + YesNo(visible) + L"\t" +
                  ClassName(hwnd) + L"\t" + OneLine(caption));
    }
    return kExitOk;
}

int Driver::WaitWindow(bool gone)
{
    Expect(1, 2);
    const Lookup lookup{Arg(0), WindowKind::Window, std::nullopt};
    const DWORD waitMs = OptionalMs(1, kDefaultWaitMs);
    Match match;
    const bool done = WaitUntil(waitMs, [&] {
        match = FindWindows(m_selector, lookup);
        return match.windows.empty() == gone;
    });
    if (!done) {
        throw Failure(Describe(lookup) + (gone ? " still there" : " did not appear") + " after " +
                      std::to_string(waitMs) + " ms");
    }
    if (!gone) {
        WriteLine(HwndText(match.windows.front()));
    }
    return kExitOk;
}

int Driver::WaitVisible(bool visible)
{
    Expect(1, 2);
    const Lookup lookup{Arg(0), WindowKind::Window, std::nullopt};
    const DWORD waitMs = OptionalMs(1, kDefaultWaitMs);
    const bool done = WaitUntil(waitMs, [&] {
        const Match match = FindWindows(m_selector, lookup);
        const bool anyVisible = std::any_of(match.windows.begin(), match.windows.end(),
                                            [](HWND hwnd) { return IsWindowVisible(hwnd) != FALSE; });
        return anyVisible == visible;
    });
    if (!done) {
        throw Failure(Describe(lookup) + (visible ? " not visible" : " still visible") + " after " +
                      std::to_string(waitMs) + " ms");
    }
    return kExitOk;
}

int Driver::WaitText()
{
    Expect(3, 4);
    const int id = ParseControlId(Arg(1));
    const std::wstring& wanted = Arg(2);
    const DWORD waitMs = OptionalMs(3, kDefaultWaitMs);
    std::wstring last;
    const bool done = WaitUntil(waitMs, [&] {
        const Match match = FindWindows(m_selector, {Arg(0), WindowKind::Window, id});
        if (match.windows.empty()) {
            return false;
        }
        try {
            last = ControlText(ControlOrFail(match.windows.front(), id));
        } catch (const Failure&) {
            return false;  // gone between the lookup and the read; look again
        }
        return last == wanted;
    });
    if (!done) {
        throw Failure("text of control " + std::to_string(id) + " is \"" + ToUtf8(last) +
                      "\", not \"" + ToUtf8(wanted) + "\", after " + std::to_string(waitMs) + " ms");
    }
    return kExitOk;
}

int Driver::Children()
{
    Expect(1, 1);
    HWND window = Window(Arg(0));
    for (HWND child : ChildrenOf(window)) {
        const int id = GetDlgCtrlID(child);
        WriteLine(std::to_wstring(id) + L"\t" + ClassName(child) + L"\t" +
                  YesNo(IsWindowVisible(child)) + L"\t" + YesNo(IsWindowEnabled(child)) + L"\t" +
                  OneLine(ControlText(child)));
    }
    return kExitOk;
}

int Driver::Text()
{
    Expect(2, 2);
    const auto [window, control] = WindowAndControl(0, 1);
    WriteLine(control == window ? Caption(window) : ControlText(control));
    return kExitOk;
}

int Driver::BooleanOf(BOOL(WINAPI* test)(HWND))
{
    Expect(1, 2);
    HWND target = Count() == 2 ? WindowAndControl(0, 1).second : Window(Arg(0));
    WriteLine(YesNo(test(target) != FALSE));
    return kExitOk;
}

int Driver::Iconic()
{
    Expect(1, 1);
    WriteLine(YesNo(IsIconic(Window(Arg(0))) != FALSE));
    return kExitOk;
}

int Driver::Topmost()
{
    Expect(1, 1);
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(Window(Arg(0)), GWL_EXSTYLE));
    WriteLine(YesNo((exStyle & WS_EX_TOPMOST) != 0));
    return kExitOk;
}

int Driver::Style()
{
    Expect(1, 2);
    HWND target = Count() == 2 ? WindowAndControl(0, 1).second : Window(Arg(0));
    WriteLine(Hex(static_cast<DWORD>(GetWindowLongPtrW(target, GWL_STYLE))));
    return kExitOk;
}

int Driver::Alpha()
{
    Expect(1, 1);
    HWND window = Window(Arg(0));
    BYTE alpha = 0;
    DWORD flags = 0;
    COLORREF key = 0;
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE));
    if ((exStyle & WS_EX_LAYERED) && GetLayeredWindowAttributes(window, &key, &alpha, &flags) &&
        (flags & LWA_ALPHA)) {
        WriteLine(std::to_wstring(alpha));
    } else {
        WriteLine(L"none");
    }
    return kExitOk;
}

int Driver::Rect()
{
    Expect(1, 2);
    HWND target = Count() == 2 ? WindowAndControl(0, 1).second : Window(Arg(0));
    RECT rect{};
    if (!GetWindowRect(target, &rect)) {
        throw Failure("GetWindowRect failed");
    }
    WriteLine(RectText(rect));
    return kExitOk;
}

int Driver::Owner()
{
    Expect(1, 1);
    HWND owner = GetWindow(Window(Arg(0)), GW_OWNER);
    WriteLine(owner ? HwndText(owner) + L"\t" + Caption(owner) : L"none");
    return kExitOk;
}

int Driver::Focus()
{
    Expect(1, 1);
    HWND window = Window(Arg(0));
    HWND focus = FocusOf(window);
    WriteLine(std::to_wstring(focus && IsChild(window, focus) ? GetDlgCtrlID(focus) : 0));
    return kExitOk;
}

int Driver::Screen()
{
    Expect(0, 0);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    WriteLine(L"size " + std::to_wstring(GetSystemMetrics(SM_CXSCREEN)) + L" " +
              std::to_wstring(GetSystemMetrics(SM_CYSCREEN)));
    WriteLine(L"work " + RectText(work));
    return kExitOk;
}

int Driver::Click()
{
    Expect(2, 2);
    const auto [window, button] = WindowAndControl(0, 1);
    RequireUsable(window, button, m_force);
    // Posted: the click's handler may open a modal window.
    Post(button, BM_CLICK, 0, 0);
    return kExitOk;
}

int Driver::CheckState()
{
    if (Count() < 2) {
        throw UsageError("check-state CAPTION ID...");
    }
    HWND window = WindowAndControl(0, 1).first;
    for (size_t i = 1; i < Count(); ++i) {
        const int id = ParseControlId(Arg(i));
        WriteLine(std::to_wstring(Send(ControlOrFail(window, id), BM_GETCHECK, 0, 0)));
    }
    return kExitOk;
}

int Driver::ComboItemsCommand()
{
    Expect(2, 2);
    for (const auto& item : ComboItems(WindowAndControl(0, 1).second)) {
        WriteLine(OneLine(item));
    }
    return kExitOk;
}

int Driver::ComboSel()
{
    Expect(2, 2);
    WriteLine(std::to_wstring(Send(WindowAndControl(0, 1).second, CB_GETCURSEL, 0, 0)));
    return kExitOk;
}

int Driver::Select(bool byText)
{
    Expect(3, 3);
    const auto [window, combo] = WindowAndControl(0, 1);
    RequireUsable(window, combo, m_force);
    LRESULT index = -1;
    if (byText) {
        const auto items = ComboItems(combo);
        const auto found = std::find(items.begin(), items.end(), Arg(2));
        if (found == items.end()) {
            throw Failure("no entry \"" + ToUtf8(Arg(2)) + "\"");
        }
        index = found - items.begin();
    } else {
        index = static_cast<LRESULT>(ParseNumber(Arg(2), "an index"));
    }
    SelectComboIndex(combo, index);
    return kExitOk;
}

int Driver::Slider()
{
    Expect(3, 3);
    const auto [window, slider] = WindowAndControl(0, 1);
    RequireUsable(window, slider, m_force);
    const auto position = ParseNumber(Arg(2), "a position");
    if (position < INT16_MIN || position > INT16_MAX) {
        throw UsageError("slider position out of range");
    }
    Send(slider, TBM_SETPOS, TRUE, static_cast<LPARAM>(position));
    const auto style = static_cast<DWORD>(GetWindowLongPtrW(slider, GWL_STYLE));
    const UINT scroll = (style & TBS_VERT) ? WM_VSCROLL : WM_HSCROLL;
    // A track bar tells its parent of a finished drag with these two.
    HWND parent = GetParent(slider);
    Post(parent, scroll, MAKEWPARAM(TB_THUMBPOSITION, static_cast<WORD>(position)),
         reinterpret_cast<LPARAM>(slider));
    Post(parent, scroll, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
    return kExitOk;
}

int Driver::SliderPos()
{
    Expect(2, 2);
    WriteLine(std::to_wstring(Send(WindowAndControl(0, 1).second, TBM_GETPOS, 0, 0)));
    return kExitOk;
}

int Driver::Key()
{
    if (Count() < 3) {
        throw UsageError("key CAPTION ID|focus KEY...");
    }
    std::vector<UINT> keys;
    for (size_t i = 2; i < Count(); ++i) {
        keys.push_back(ParseKey(Arg(i)));
    }
    HWND target = nullptr;
    if (Arg(1) == L"focus") {
        HWND window = Window(Arg(0));
        target = FocusOf(window);
        if (!target || (target != window && !IsChild(window, target))) {
            target = window;
        }
    } else {
        target = WindowAndControl(0, 1).second;
    }
    for (UINT vk : keys) {
        PostKey(target, vk);
    }
    return kExitOk;
}

int Driver::Command()
{
    Expect(2, 2);
    const auto id = ParseNumber(Arg(1), "a command id");
    if (id < 0 || id > 0xFFFF) {
        throw UsageError("command id out of range");
    }
    Post(Window(Arg(0)), WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), 0), 0);
    return kExitOk;
}

int Driver::PostCommand()
{
    Expect(2, 2);
    const auto message = ParseNumber(Arg(1), "a message number");
    if (message < 0 || message > 0xFFFF) {
        throw UsageError("message number out of range");
    }
    Post(Window(Arg(0)), static_cast<UINT>(message), 0, 0);
    return kExitOk;
}

int Driver::Tray()
{
    Expect(2, 3);
    const UINT mouse = ParseNamedOrNumber(kMouseMessages, Arg(1), "a mouse message");
    const auto icon = Count() == 3 ? ParseNumber(Arg(2), "an icon id") : kTrayIconId;
    Post(Window(Arg(0)), kTrayCallbackMessage, static_cast<WPARAM>(icon), static_cast<LPARAM>(mouse));
    return kExitOk;
}

int Driver::Close()
{
    Expect(1, 1);
    Post(Window(Arg(0)), WM_CLOSE, 0, 0);
    return kExitOk;
}

int Driver::Minimize()
{
    Expect(1, 1);
    Post(Window(Arg(0)), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    return kExitOk;
}

int Driver::MessageBoxText()
{
    const auto [caption, waitMs] = MessageBoxArgs();
    HWND box = MessageBoxWindow(caption, waitMs);
    WriteLine(ControlText(ControlOrFail(box, kMessageBoxTextId)));
    return kExitOk;
}

int Driver::MessageBoxButtons()
{
    const auto [caption, waitMs] = MessageBoxArgs();
    for (HWND child : ChildrenOf(MessageBoxWindow(caption, waitMs))) {
        if (!EqualNoCase(ClassName(child), L"Button") || !IsWindowVisible(child)) {
            continue;
        }
        const int id = ControlIdOf(child);
        const wchar_t* name = NameOf(kButtons, static_cast<UINT>(id));
        WriteLine(name ? std::wstring(name) : std::to_wstring(id));
    }
    return kExitOk;
}

int Driver::Answer()
{
    Expect(2, 3);
    const auto buttonId = LookUp(kButtons, Arg(1));
    if (!buttonId) {
        throw UsageError("unknown answer: " + ToUtf8(Arg(1)));
    }
    const DWORD waitMs = OptionalMs(2, kDefaultMessageBoxWaitMs);
    HWND box = MessageBoxWindow(Arg(0), waitMs);
    HWND button = FindControl(box, static_cast<int>(*buttonId));
    if (!button || !IsWindowVisible(button)) {
        throw Failure("the message box has no " + ToUtf8(Arg(1)) + " button");
    }
    Post(button, BM_CLICK, 0, 0);
    if (!WaitUntil(waitMs, [&] { return !IsWindow(box); })) {
        throw Failure("the message box is still open after " + std::to_string(waitMs) + " ms");
    }
    return kExitOk;
}

int Driver::WaitMenu(bool gone)
{
    Expect(0, 1);
    const DWORD waitMs = OptionalMs(0, kDefaultMessageBoxWaitMs);
    if (!WaitUntil(waitMs, [&] { return ShownMenus().empty() == gone; })) {
        throw Failure(gone ? "a pop-up menu is still shown" : "no pop-up menu appeared");
    }
    return kExitOk;
}

int Driver::MenuKey()
{
    if (Count() < 1) {
        throw UsageError("menu-key KEY...");
    }
    std::vector<UINT> keys;
    for (const auto& name : m_args) {
        keys.push_back(ParseKey(name));
    }
    const auto menus = ShownMenus();
    if (menus.empty()) {
        throw Failure("no pop-up menu is shown");
    }
    // The menu's tracking loop reads keys from its thread's queue, whichever
    // of its windows they are posted to.
    for (UINT vk : keys) {
        PostKey(menus.front(), vk);
    }
    return kExitOk;
}

int Driver::ProcessList()
{
    Expect(0, 1);
    for (const auto& process : Processes()) {
        if (Count() == 0 || ProcessNameMatches(process.name, Arg(0))) {
            WriteLine(std::to_wstring(process.pid) + L"\t" + process.name);
        }
    }
    return kExitOk;
}

int Driver::WaitProcessGone()
{
    Expect(1, 2);
    const DWORD waitMs = OptionalMs(1, kDefaultWaitMs);
    if (!WaitUntil(waitMs, [&] { return ProcessesNamed(Arg(0)).empty(); })) {
        throw Failure(ToUtf8(Arg(0)) + " still runs after " + std::to_string(waitMs) + " ms");
    }
    return kExitOk;
}

int Driver::KillProcess()
{
    Expect(1, 1);
    int killed = 0;
    for (DWORD pid : ProcessesNamed(Arg(0))) {
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process.valid()) {
            continue;  // ended meanwhile
        }
        // Wine hands out process ids again quickly: make sure the id still
        // names the program, not something started since the snapshot.
        wchar_t image[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (!QueryFullProcessImageNameW(process.get(), 0, image, &size) ||
            !ProcessNameMatches(image, Arg(0))) {
            continue;
        }
        if (TerminateProcess(process.get(), 1)) {
            WaitForSingleObject(process.get(), kSendTimeoutMs);
            ++killed;
        }
    }
    WriteLine(std::to_wstring(killed));
    return kExitOk;
}

// The number of handles a process holds, counted in the system's handle
// table: Wine answers GetProcessHandleCount for another process with 0.
std::optional<unsigned long long> HandlesInSystemTable(DWORD pid)
{
    struct HandleEntry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ACCESS_MASK access;
    };
    struct HandleTable {
        ULONG count;
        HandleEntry entries[1];
    };
    using QueryFunction = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
    constexpr int kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll ? reinterpret_cast<QueryFunction>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                             : nullptr;
    if (!query) {
        return std::nullopt;
    }
    std::vector<unsigned char> buffer(1 << 16);
    for (int attempt = 0; attempt < 8; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) {
            return std::nullopt;
        }
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        unsigned long long count = 0;
        for (ULONG i = 0; i < table->count; ++i) {
            if (table->entries[i].ownerPid == pid) {
                ++count;
            }
        }
        return count;
    }
    return std::nullopt;
}

// One process's resource figures as the system reports them to another
// process; a query that fails leaves its field "-".
std::wstring ProcessInfoLine(const ProcessEntry& entry)
{
    auto field = [](const wchar_t* name, std::optional<unsigned long long> value) {
        return std::wstring(L"\t") + name + L"=" + (value ? std::to_wstring(*value) : L"-");
    };
    std::optional<unsigned long long> handles, workingSet, peakWorkingSet, privateBytes, gdi, user, cpuMs;
    HANDLE opened = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.pid);
    if (opened == nullptr) {
        opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.pid);
    }
    UniqueHandle process(opened);
    if (process.valid()) {
        DWORD count = 0;
        if (GetProcessHandleCount(process.get(), &count) && count > 0) {
            handles = count;
        } else {
            handles = HandlesInSystemTable(entry.pid);
        }
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof counters;
        if (K32GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                    sizeof counters)) {
            workingSet = counters.WorkingSetSize;
            peakWorkingSet = counters.PeakWorkingSetSize;
            if (counters.PrivateUsage > 0) {  // Wine leaves it 0
                privateBytes = counters.PrivateUsage;
            }
        }
        SetLastError(0);
        const DWORD gdiCount = GetGuiResources(process.get(), GR_GDIOBJECTS);
        if (gdiCount != 0 || GetLastError() == 0) {
            gdi = gdiCount;
        }
        SetLastError(0);
        const DWORD userCount = GetGuiResources(process.get(), GR_USEROBJECTS);
        if (userCount != 0 || GetLastError() == 0) {
            user = userCount;
        }
        FILETIME created, exited, kernel, userTime;
        if (GetProcessTimes(process.get(), &created, &exited, &kernel, &userTime)) {
            auto ticks = [](const FILETIME& t) {
                return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
            };
            cpuMs = (ticks(kernel) + ticks(userTime)) / 10000;
        }
    }
    return std::to_wstring(entry.pid) + field(L"handles", handles) +
           field(L"threads", entry.threads) + field(L"working_set", workingSet) +
           field(L"peak_working_set", peakWorkingSet) + field(L"private", privateBytes) +
           field(L"gdi", gdi) + field(L"user", user) + field(L"cpu_ms", cpuMs);
}

int Driver::ProcessInfo()
{
    Expect(1, 1);
    const DWORD self = GetCurrentProcessId();
    int found = 0;
    for (const auto& process : Processes()) {
        if (process.pid != self && ProcessNameMatches(process.name, Arg(0))) {
            WriteLine(ProcessInfoLine(process));
            ++found;
        }
    }
    if (found == 0) {
        throw Failure("no process " + ToUtf8(Arg(0)));
    }
    return kExitOk;
}

int Driver::Echo()
{
    for (const auto& arg : m_args) {
        std::wstring codes;
        for (wchar_t c : arg) {
            codes += L" " + Hex(static_cast<uint16_t>(c), 4);
        }
        WriteLine(arg + L"\t" + codes.substr(codes.empty() ? 0 : 1));
    }
    return kExitOk;
}

int Driver::ShortcutTarget()
{
    Expect(1, 1);
    const ShortcutInfo info = ReadShortcut(Arg(0));
    WriteLine(info.target);
    WriteLine(info.workingDirectory);
    return kExitOk;
}

int Driver::HoldFile()
{
    Expect(2, 2);
    HANDLE file = CreateFileW(Arg(0).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw Failure("cannot open " + ToUtf8(Arg(0)));
    }
    WriteLine(L"held");
    std::fflush(stdout);
    Sleep(ParseMilliseconds(Arg(1)));
    CloseHandle(file);
    return kExitOk;
}

int Driver::Acl()
{
    Expect(1, 1);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    if (GetNamedSecurityInfoW(Arg(0).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        throw Failure("cannot read the security of " + ToUtf8(Arg(0)));
    }
    for (SECURITY_INFORMATION part : {OWNER_SECURITY_INFORMATION, DACL_SECURITY_INFORMATION}) {
        LPWSTR text = nullptr;
        if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, part, &text, nullptr)) {
            WriteLine(text);
            LocalFree(text);
        }
    }
    LocalFree(descriptor);
    return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(RepairArgument(argv[i]));
    }

    int status = kExitOk;
    try {
        Selector selector;
        size_t next = 0;
        for (; next < args.size() && args[next].starts_with(L"--"); ++next) {
            const std::wstring& option = args[next];
            if (option == L"--help") {
                Driver::PrintUsage(stdout);
                return kExitOk;
            }
            if (next + 1 >= args.size()) {
                throw UsageError("option " + ToUtf8(option) + " needs a value");
            }
            const std::wstring& value = args[++next];
            if (option == L"--has") {
                selector.hasControl = ParseControlId(value);
            } else if (option == L"--pid") {
                selector.pid = static_cast<DWORD>(ParseNumber(value, "a process id"));
            } else if (option == L"--wait") {
                selector.waitMs = ParseMilliseconds(value);
            } else {
                throw UsageError("unknown option: " + ToUtf8(option));
            }
        }
        if (next >= args.size()) {
            Driver::PrintUsage(stderr);
            return kExitUsage;
        }
        Driver driver(selector, std::vector<std::wstring>(args.begin() + static_cast<ptrdiff_t>(next), args.end()));
        status = driver.Run();
    } catch (const UsageError& error) {
        WriteNote(FromUtf8(error.what()).value_or(Widen(error.what())));
        WriteNote(L"run uidriver --help for the commands");
        status = kExitUsage;
    } catch (const Failure& error) {
        WriteNote(FromUtf8(error.what()).value_or(Widen(error.what())));
        status = kExitFailed;
    } catch (const std::exception& error) {
        WriteNote(FromUtf8(error.what()).value_or(Widen(error.what())));
        status = kExitFailed;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
