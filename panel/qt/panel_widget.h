#pragma once
// The control's panel drawn with Qt Widgets from the fixed layout table:
// twips become pixels by the screen's resolution, lamps are outlined circles,
// the weight and unit use the layout's serif fonts (Times New Roman, or the
// closest serif installed), and system colours come from the palette. It
// repaints whenever the panel model changes and takes no input.

#include <QColor>
#include <QFont>
#include <QRect>
#include <QWidget>

#include "panel/layout.h"
#include "panel/panel_model.h"

namespace orva::qt {

class PanelWidget final : public QWidget, private PanelObserver {
public:
    explicit PanelWidget(PanelModel& model, QWidget* parent = nullptr);
    ~PanelWidget() override;
    PanelWidget(const PanelWidget&) = delete;
    PanelWidget& operator=(const PanelWidget&) = delete;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // Where an item is drawn, in this widget's pixels.
    QRect pixelRect(layout::Item item) const;
    // A control colour (0x00BBGGRR, or a system colour) on this widget's palette.
    QColor toQColor(Colour colour) const;
    // The font an item is drawn with.
    QFont fontFor(const layout::Font& font) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void panelChanged() override { update(); }
    int toPixelsX(int twips) const;
    int toPixelsY(int twips) const;
    QRect toPixels(const layout::Rect& twips) const;
    bool shown(const layout::ItemLayout& entry) const;

    PanelModel& model_;
};

}  // namespace orva::qt
