#include <io.h>

#include <cerrno>

#include "platform/console.h"
#include "platform/win32.h"
#include "platform/win32serial.h"

namespace {

TInterruptTargets targets;

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            break;
        default:
            return FALSE;
    }
    if (const char* text = targets.Count()) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(lstrlenA(text)),
                  &written, nullptr);
        ExitProcess(130);
    }
    return TRUE;  // handled: the process goes on and the command ends in its own time
}

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool IsConsole(HANDLE h) {
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) != 0;
}

// Whether the console's input holds a key press that reading will return. Other events
// (key releases, focus, mouse) wake a wait but are not input: they are taken out.
bool KeyWaiting(HANDLE h) {
    for (;;) {
        INPUT_RECORD record{};
        DWORD n = 0;
        if (!PeekConsoleInputW(h, &record, 1, &n) || n == 0) {
            return false;
        }
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
            record.Event.KeyEvent.uChar.UnicodeChar != 0) {
            return true;
        }
        ReadConsoleInputW(h, &record, 1, &n);
    }
}

}  // namespace

void InstallInterruptHandler(std::atomic<int>& count, std::atomic<bool>& hardExit,
                             const char* hardExitText) {
    targets = {&count, &hardExit, hardExitText};
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void StartThreadsWithoutInterrupts(const std::function<void()>& start) {
    // Console events come on a thread of their own: no thread needs shielding from them.
    start();
}

bool IsTerminal(int fd) {
    return IsConsole(HandleOf(fd));
}

TInputWait WaitForInput(int fd, int ms) {
    const HANDLE h = HandleOf(fd);
    if (!IsConsole(h)) {
        return TInputWait::Ready;  // a file or a pipe: the read itself waits
    }
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = now < end ? static_cast<DWORD>(end - now) : 0;
        if (WaitForSingleObject(h, left) != WAIT_OBJECT_0) {
            return TInputWait::Timeout;
        }
        if (KeyWaiting(h)) {
            return TInputWait::Ready;
        }
        if (left == 0) {
            return TInputWait::Timeout;
        }
    }
}

int ReadInputByte(int fd, char& c) {
    DWORD n = 0;
    SetLastError(ERROR_SUCCESS);
    if (!ReadFile(HandleOf(fd), &c, 1, &n, nullptr)) {
        return GetLastError() == ERROR_OPERATION_ABORTED ? -1 : 0;
    }
    // Ctrl-C during a console read ends it with nothing read and this error set.
    if (n == 0 && GetLastError() == ERROR_OPERATION_ABORTED) {
        return -1;
    }
    return static_cast<int>(n);
}

int DeviceAccessError(const std::string& path) {
    const HANDLE h =
        CreateFileW(TWin32SerialLibrary::DeviceName(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    // A port that refuses access is held by another program, which the message already says.
    const DWORD err = GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ENOENT : 0;
}
