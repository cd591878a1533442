#pragma once
// The panel drawn with GDI from the fixed twip layout: the same picture in
// the control's own window and in a host's device context (IViewObject2).

#include <windows.h>

#include "panel/panel_model.h"

namespace orva::gdi {

// Where the panel goes: the client area's top-left corner in device units
// and the scale from twips to device units on each axis.
struct Placement {
    int originX = 0;
    int originY = 0;
    double unitsPerTwipX = 1.0 / 15;
    double unitsPerTwipY = 1.0 / 15;
};

// The scale of a device at its own resolution.
Placement placementForDevice(HDC dc, int originX, int originY);

// Draws the whole panel, background included, inside clip (device units).
void drawPanel(HDC dc, const RECT& clip, const Placement& where, const PanelModel& model);

// A colour of the control (0x00BBGGRR, or a system colour) as a COLORREF.
COLORREF toColorRef(Colour colour);

}  // namespace orva::gdi
