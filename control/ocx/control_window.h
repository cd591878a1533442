#pragma once
// The control's own child window in the host's window while it is in-place
// active. It only paints: the panel takes no input and never the focus.

#include <windows.h>

#include "platform/win32/handles.h"

namespace orva::ocx {

class WindowPainter {
public:
    virtual ~WindowPainter() = default;
    virtual void paint(HDC dc, const RECT& client) = 0;
};

win32::WindowHandle createControlWindow(HWND parent, const RECT& position, WindowPainter& painter);
void unregisterControlWindowClass();

}  // namespace orva::ocx
