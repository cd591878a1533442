#include "control/ocx/control_window.h"

#include "control/ocx/module_state.h"
#include "platform/failure.h"

namespace orva::ocx {
namespace {

constexpr wchar_t kClassName[] = L"ActiveX_ORVA.Panel";

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* painter = reinterpret_cast<WindowPainter*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
        case WM_ERASEBKGND:
            return 1;  // the paint covers every pixel
        case WM_PAINT: {
            PAINTSTRUCT ps{};
            const HDC dc = ::BeginPaint(window, &ps);
            if (painter != nullptr && dc != nullptr) {
                RECT client{};
                ::GetClientRect(window, &client);
                // Drawn off screen first, so a repaint never flickers.
                win32::MemoryDc memory(::CreateCompatibleDC(dc));
                win32::GdiObject bitmap(::CreateCompatibleBitmap(dc, client.right, client.bottom));
                if (memory && bitmap) {
                    win32::SelectScope selected(memory.get(), bitmap.get());
                    painter->paint(memory.get(), client);
                    ::BitBlt(dc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, SRCCOPY);
                } else {
                    painter->paint(dc, client);
                }
            }
            ::EndPaint(window, &ps);
            return 0;
        }
        case WM_PRINTCLIENT:
            if (painter != nullptr) {
                RECT client{};
                ::GetClientRect(window, &client);
                painter->paint(reinterpret_cast<HDC>(wParam), client);
            }
            return 0;
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;
        case WM_NCDESTROY:
            ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            break;
        default:
            break;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

void registerClass() {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (::GetClassInfoExW(moduleInstance(), kClassName, &existing)) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = windowProc;
    wc.hInstance = moduleInstance();
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kClassName;
    ::RegisterClassExW(&wc);
}

}  // namespace

win32::WindowHandle createControlWindow(HWND parent, const RECT& position, WindowPainter& painter) {
    registerClass();
    win32::WindowHandle window(::CreateWindowExW(
        0, kClassName, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, position.left, position.top,
        position.right - position.left, position.bottom - position.top, parent, nullptr, moduleInstance(), nullptr));
    if (!window) throw Failure(FailureNumber::InternalFailure, "Cannot create the control window");
    ::SetWindowLongPtrW(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&painter));
    ::InvalidateRect(window.get(), nullptr, FALSE);
    return window;
}

void unregisterControlWindowClass() { ::UnregisterClassW(kClassName, moduleInstance()); }

}  // namespace orva::ocx
