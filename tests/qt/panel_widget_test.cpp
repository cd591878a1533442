// The panel widget drawn offscreen, looked at where the lamps and labels are.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QPixmap>

#include "control/activex_orva.h"
#include "panel/qt/panel_widget.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace orva::qt {
namespace {

using layout::Item;

class PanelWidgetDrawing : public ::testing::Test {
protected:
    QImage draw() {
        widget.resize(widget.sizeHint());
        return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
    QColor at(const QImage& image, QPoint p) { return image.pixelColor(p); }
    QPoint lampCentre(Item item) { return widget.pixelRect(item).center(); }
    // Pixels in the rectangle that differ from its background colour.
    int inked(const QImage& image, const QRect& r, const QColor& background) {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) n += image.pixelColor(x, y) != background;
        return n;
    }

    PanelModel model;
    PanelWidget widget{model};
};

TEST_F(PanelWidgetDrawing, SizeFollowsTheScreenResolution) {
    const double perTwip = widget.logicalDpiX() / 1440.0;
    EXPECT_NEAR(widget.sizeHint().width(), layout::kClientWidth * perTwip, 1.0);
    EXPECT_NEAR(widget.sizeHint().height(), layout::kClientHeight * widget.logicalDpiY() / 1440.0, 1.0);
    // Children of the frame sit relative to it: Shape2(0) at 270+360 twips.
    EXPECT_NEAR(widget.pixelRect(Item::Shape2_0).left(), (270 + 360) * perTwip, 1.0);
}

TEST_F(PanelWidgetDrawing, InitialPanelShowsWhiteStatusLampsRedStabilityLampsAndTheLabels) {
    const QImage image = draw();
    for (Item lamp : {Item::Shape2_0, Item::Shape2_1, Item::Shape2_2, Item::Shape2_3})
        EXPECT_EQ(at(image, lampCentre(lamp)), QColor(Qt::white));
    for (Item lamp : {Item::Shape1_0, Item::Shape1_1, Item::Shape1_2})
        EXPECT_EQ(at(image, lampCentre(lamp)), QColor(255, 0, 0));

    const QColor yellow(0xFF, 0xFF, 0xC0);
    const QRect weight = widget.pixelRect(Item::Label2);
    EXPECT_EQ(at(image, weight.topLeft() + QPoint(1, 1)), yellow);
    EXPECT_EQ(at(image, widget.pixelRect(Item::Label3).topLeft() + QPoint(1, 1)), yellow);
    EXPECT_GT(inked(image, weight, yellow), 20);  // "0"
    EXPECT_GT(inked(image, widget.pixelRect(Item::Label3), yellow), 20);  // "FGH"
    const QColor face = widget.toQColor(kButtonFace);
    EXPECT_GT(inked(image, widget.pixelRect(Item::Label1_3), face), 5);  // "Max"
}

TEST_F(PanelWidgetDrawing, LampsAndCaptionsFollowTheModel) {
    model.setLabel2Caption("");
    model.setLabel3Caption("kg");
    model.setShape2Fill(0, kWindowBackground);
    model.setShape2Fill(1, kGreen);
    model.setShape2Fill(2, kWindowBackground);
    model.setShape1Fill(0, kGreen);
    QImage image = draw();
    EXPECT_EQ(at(image, lampCentre(Item::Shape2_0)), widget.toQColor(kWindowBackground));
    EXPECT_EQ(at(image, lampCentre(Item::Shape2_1)), QColor(0, 255, 0));
    EXPECT_EQ(at(image, lampCentre(Item::Shape1_0)), QColor(0, 255, 0));
    EXPECT_EQ(at(image, lampCentre(Item::Shape1_1)), QColor(255, 0, 0));
    const QColor yellow(0xFF, 0xFF, 0xC0);
    EXPECT_EQ(inked(image, widget.pixelRect(Item::Label2), yellow), 0);

    // A new weight text turns the stability lamps red again.
    model.setLabel2Caption("12.5");
    image = draw();
    EXPECT_EQ(at(image, lampCentre(Item::Shape1_0)), QColor(255, 0, 0));
    EXPECT_GT(inked(image, widget.pixelRect(Item::Label2), yellow), 50);
}

TEST_F(PanelWidgetDrawing, FrameCaptionIsDrawnAndTheFrameHidesWithItsLamps) {
    const QColor face = widget.toQColor(kButtonFace);
    const QRect frame = widget.pixelRect(Item::Frame1);
    const QRect captionArea(frame.left() + 4, frame.top(), frame.width() / 3, 6);
    const int bare = inked(draw(), captionArea, face);
    model.setFrame1Caption("ORVA-1");
    EXPECT_GT(inked(draw(), captionArea, face), bare + 10);

    model.setFrame1Visible(false);
    const QImage hidden = draw();
    EXPECT_EQ(at(hidden, lampCentre(Item::Shape2_0)), face);
    EXPECT_EQ(inked(hidden, frame, face), 0);
    // The stability lamps are not the frame's.
    EXPECT_EQ(at(hidden, lampCentre(Item::Shape1_2)), QColor(255, 0, 0));
}

TEST_F(PanelWidgetDrawing, TheWeightUsesASerifFontOfThirtySixPoints) {
    const QFont font = widget.fontFor(layout::kWeightFont);
    EXPECT_DOUBLE_EQ(font.pointSizeF(), 36.0);
    EXPECT_EQ(font.styleHint(), QFont::Serif);
    EXPECT_DOUBLE_EQ(widget.fontFor(layout::kUnitFont).pointSizeF(), 26.25);
}

TEST_F(PanelWidgetDrawing, AChangedModelSchedulesARepaint) {
    widget.resize(widget.sizeHint());
    widget.show();
    QApplication::processEvents();
    int paints = 0;
    struct Counter : QObject {
        int& n;
        explicit Counter(int& count) : n(count) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++n;
            return false;
        }
    } counter(paints);
    widget.installEventFilter(&counter);
    model.setShape2Fill(3, kGreen);
    QApplication::processEvents();
    EXPECT_GE(paints, 1);
    widget.removeEventFilter(&counter);
}

}  // namespace
}  // namespace orva::qt

namespace orva::qt {
namespace {

using namespace orva::virtual_time;

// A control fed scripted readings on a simulated line in virtual time, its
// panel drawn after each step.
class PanelAfterReadings : public ::testing::Test {
protected:
    QImage drawAfter(const std::string& frame, Millis ms) {
        line.setFrame(frame);
        clock.advanceBy(ms);
        widget.resize(widget.sizeHint());
        return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
    QColor lamp(const QImage& image, layout::Item item) { return image.pixelColor(widget.pixelRect(item).center()); }

    VirtualClock clock;
    VirtualTimerFactory timers{clock};
    RecordingNotice notice;
    FixedLocale locale{","};
    SimulatedLine line{clock};
    ActivexORVA control{{line.makePort(), timers, notice, locale}};
    PanelWidget widget{control.panel()};
};

TEST_F(PanelAfterReadings, ASettledLoadLightsTheStabilityColumnAndTheOkLamp) {
    const QImage settled = drawAfter("\x02WW   12.5kg\r\n", 3000);
    EXPECT_EQ(control.panel().Label2().text, "12,5");
    for (auto item : {layout::Item::Shape1_0, layout::Item::Shape1_1, layout::Item::Shape1_2})
        EXPECT_EQ(lamp(settled, item), QColor(0, 255, 0));
    EXPECT_EQ(lamp(settled, layout::Item::Shape2_1), QColor(0, 255, 0));       // Ok
    EXPECT_EQ(lamp(settled, layout::Item::Shape2_0), widget.toQColor(kWindowBackground));  // >0<

    // An unrecognised reply: "xxxx", and the column turns red.
    const QImage lost = drawAfter("garbage", 800);
    EXPECT_EQ(control.panel().Label2().text, "xxxx");
    for (auto item : {layout::Item::Shape1_0, layout::Item::Shape1_1, layout::Item::Shape1_2})
        EXPECT_EQ(lamp(lost, item), QColor(255, 0, 0));

    // An empty scale lights >0< only.
    const QImage empty = drawAfter("\x02WW    0.0kg\r\n", 1200);
    EXPECT_EQ(lamp(empty, layout::Item::Shape2_0), QColor(0, 255, 0));
    EXPECT_EQ(lamp(empty, layout::Item::Shape2_1), widget.toQColor(kWindowBackground));
}

}  // namespace
}  // namespace orva::qt
