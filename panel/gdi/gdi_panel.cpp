#include "panel/gdi/gdi_panel.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "panel/layout.h"
#include "platform/win32/handles.h"

namespace orva::gdi {
namespace {

using win32::GdiObject;
using win32::SelectScope;

int scaleX(const Placement& p, int twips) { return p.originX + static_cast<int>(std::lround(twips * p.unitsPerTwipX)); }
int scaleY(const Placement& p, int twips) { return p.originY + static_cast<int>(std::lround(twips * p.unitsPerTwipY)); }

RECT deviceRect(const Placement& p, const layout::Rect& r) {
    return RECT{scaleX(p, r.left), scaleY(p, r.top), scaleX(p, r.left + r.width), scaleY(p, r.top + r.height)};
}

void fill(HDC dc, const RECT& r, Colour colour) {
    GdiObject brush(::CreateSolidBrush(toColorRef(colour)));
    ::FillRect(dc, &r, static_cast<HBRUSH>(brush.get()));
}

// A layout font at the device's scale; an empty face is the default GUI font.
GdiObject makeFont(const layout::Font& font, const Placement& p) {
    if (font.face.empty()) {
        LOGFONTW base{};
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof base, &base);
        // The default font is sized for the screen; scale it like the rest.
        base.lfHeight = -static_cast<LONG>(std::lround(8.0 * 20.0 * p.unitsPerTwipY));
        return GdiObject(::CreateFontIndirectW(&base));
    }
    LOGFONTW lf{};
    lf.lfHeight = -static_cast<LONG>(std::lround(font.points * 20.0 * p.unitsPerTwipY));
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = font.cyrillic ? RUSSIAN_CHARSET : DEFAULT_CHARSET;
    lf.lfOutPrecision = OUT_TT_PRECIS;
    lf.lfQuality = DEFAULT_QUALITY;
    const std::wstring face = win32::widen(font.face);
    face.copy(lf.lfFaceName, LF_FACESIZE - 1);
    return GdiObject(::CreateFontIndirectW(&lf));
}

void drawText(HDC dc, RECT r, const std::string& utf8, const layout::Font& font, const Placement& p, UINT format) {
    if (utf8.empty()) return;
    GdiObject hfont = makeFont(font, p);
    SelectScope selected(dc, hfont.get());
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, toColorRef(layout::kTextColour));
    std::wstring text = win32::widen(utf8);
    ::DrawTextW(dc, text.data(), static_cast<int>(text.size()), &r, format | DT_NOPREFIX | DT_NOCLIP);
}

void drawLamp(HDC dc, const layout::Rect& box, const Lamp& lamp, const Placement& p) {
    if (!lamp.visible) return;
    const layout::Circle c = layout::lampCircle(box);
    const int half = c.diameter / 2;
    GdiObject brush(::CreateSolidBrush(toColorRef(lamp.fill)));
    GdiObject pen(::CreatePen(PS_SOLID, 1, toColorRef(layout::kLampOutline)));
    SelectScope selectBrush(dc, brush.get());
    SelectScope selectPen(dc, pen.get());
    ::Ellipse(dc, scaleX(p, c.centreX - half), scaleY(p, c.centreY - half), scaleX(p, c.centreX - half + c.diameter),
              scaleY(p, c.centreY - half + c.diameter));
}

// A group box: an etched border whose top edge runs through the middle of
// the caption, the caption on the button face at the left.
void drawFrame(HDC dc, const RECT& r, const Caption& caption, const Placement& p) {
    GdiObject hfont = makeFont(layout::kDefaultFont, p);
    SelectScope selected(dc, hfont.get());
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc, &tm);
    RECT border = r;
    border.top += tm.tmHeight / 2;
    ::DrawEdge(dc, &border, EDGE_ETCHED, BF_RECT);
    if (caption.text.empty()) return;
    const std::wstring text = win32::widen(caption.text);
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    const int left = r.left + std::max(1, static_cast<int>(std::lround(120 * p.unitsPerTwipX)));
    RECT textRect{left - 2, r.top, left + extent.cx + 2, r.top + tm.tmHeight};
    fill(dc, textRect, layout::kClientBackground);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, toColorRef(layout::kTextColour));
    ::TextOutW(dc, left, r.top, text.c_str(), static_cast<int>(text.size()));
}

}  // namespace

COLORREF toColorRef(Colour colour) {
    if (isSystemColour(colour)) return ::GetSysColor(systemColourIndex(colour));
    return static_cast<COLORREF>(colour & 0x00FFFFFFu);
}

Placement placementForDevice(HDC dc, int originX, int originY) {
    Placement p;
    p.originX = originX;
    p.originY = originY;
    p.unitsPerTwipX = ::GetDeviceCaps(dc, LOGPIXELSX) / 1440.0;
    p.unitsPerTwipY = ::GetDeviceCaps(dc, LOGPIXELSY) / 1440.0;
    return p;
}

void drawPanel(HDC dc, const RECT& clip, const Placement& p, const PanelModel& model) {
    fill(dc, clip, layout::kClientBackground);
    const bool frameVisible = model.Frame1().visible;
    for (const auto& entry : layout::kItems) {
        const layout::Rect box = layout::clientRect(entry);
        if (entry.parent == layout::Parent::Frame1 && !frameVisible) continue;
        const RECT r = deviceRect(p, box);
        switch (entry.item) {
            case layout::Item::Frame1:
                if (frameVisible) drawFrame(dc, r, model.Frame1(), p);
                break;
            case layout::Item::Label1_0:
            case layout::Item::Label1_1:
            case layout::Item::Label1_2:
            case layout::Item::Label1_3: {
                const Caption& caption = model.Label1(entry.index);
                if (caption.visible) drawText(dc, r, caption.text, entry.font, p, DT_LEFT | DT_TOP | DT_WORDBREAK);
                break;
            }
            case layout::Item::Label2:
            case layout::Item::Label3: {
                const Caption& caption = entry.item == layout::Item::Label2 ? model.Label2() : model.Label3();
                if (!caption.visible) break;
                fill(dc, r, entry.background);
                drawText(dc, r, caption.text, entry.font, p, DT_LEFT | DT_TOP | DT_SINGLELINE);
                break;
            }
            case layout::Item::Shape2_0:
            case layout::Item::Shape2_1:
            case layout::Item::Shape2_2:
            case layout::Item::Shape2_3:
                drawLamp(dc, box, model.Shape2(entry.index), p);
                break;
            case layout::Item::Shape1_0:
            case layout::Item::Shape1_1:
            case layout::Item::Shape1_2:
                drawLamp(dc, box, model.Shape1(entry.index), p);
                break;
        }
    }
}

}  // namespace orva::gdi
