// The console of Windows: the console control handler, _isatty, the size of
// the console's screen buffer, the names of COM ports.
#include "cli/Console.h"

#include <windows.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>

namespace console {

// Windows has no SIGPIPE: a write to a pipe whose reader went away fails
// and the program goes on; a missing standard stream has no descriptor that
// a file opened later could take.
void keepRunningWithoutOutput() {}

bool isTerminal(FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

// A classic console shows the program's UTF-8 in its own code page, accents
// garbled, and prints escape sequences as text unless asked to take them.
bool prepareTerminal(FILE* stream)
{
    SetConsoleOutputCP(CP_UTF8);
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (!isTerminal(stream) || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// Windows counts handles per process in the millions.
void raiseDescriptorLimit() {}

long descriptorRoom()
{
    return -1;
}

int columns(FILE* stream)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr || !GetConsoleScreenBufferInfo(handle, &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

namespace {

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

} // namespace

bool mayOpen(const std::string&)
{
    // COM ports carry no per-user permissions: whoever is logged on may open them.
    return true;
}

std::string deviceIdentity(const std::string& path)
{
    // A COM port by its name, whatever its letter case and with or without
    // the device namespace prefix.
    const std::string prefix = "\\\\.\\";
    const std::string name = upper(path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path);
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
        std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
        return "device " + name;

    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH || GetFileAttributesA(full) == INVALID_FILE_ATTRIBUTES)
        return {};
    return "file " + upper(std::string(full, length));
}

// ---------------------------------------------------------------- interruptions

namespace {

std::atomic<int> interruptions{0};
std::atomic<int> exitCode{130};
std::function<void()> firstHandler;
HANDLE watchEnded = nullptr; // set when the watch goes

// Windows calls this on a thread of its own for every event.
BOOL WINAPI onControl(DWORD type)
{
    const bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && !closing)
        return FALSE;
    if (interruptions.fetch_add(1) > 0)
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode.load()));
    if (firstHandler)
        firstHandler();
    // For the closing of the console Windows ends the process as soon as
    // this returns (and after 5 s at most): the clean-up is waited for here.
    if (closing && watchEnded)
        WaitForSingleObject(watchEnded, 4500);
    return TRUE;
}

} // namespace

InterruptWatch::InterruptWatch(std::function<void()> onFirst, int exitStatus)
{
    interruptions = 0;
    exitCode = exitStatus;
    firstHandler = std::move(onFirst);
    watchEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);
}

InterruptWatch::~InterruptWatch()
{
    SetConsoleCtrlHandler(onControl, FALSE);
    if (watchEnded)
        SetEvent(watchEnded);
}

bool InterruptWatch::interrupted() const
{
    return interruptions.load() > 0;
}

} // namespace console
