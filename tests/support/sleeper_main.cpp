// The program the Windows tests copy and start as a process of a given name: it
// sleeps for a minute. With "window" it shows a window instead, and ends (exit
// code 0) when that window is asked to close.
#include <windows.h>

#include <cstring>

namespace {

constexpr UINT kLifetimeMilliseconds = 60000;
constexpr int kNoWindow = 2;  // the window could not be made (no display driver)

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) ::DestroyWindow(window);
    if (message == WM_DESTROY) ::PostQuitMessage(0);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

int RunWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ZuveloTestSleeper";
    if (!::RegisterClassW(&windowClass)) return kNoWindow;
    const HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Zuvelo test sleeper",
                                          WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr,
                                          windowClass.hInstance, nullptr);
    if (!window) return kNoWindow;
    ::SetTimer(window, 1, kLifetimeMilliseconds, nullptr);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "window") == 0) return RunWindow();
    ::Sleep(kLifetimeMilliseconds);
    return 0;
}
