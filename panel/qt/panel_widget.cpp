#include "panel/qt/panel_widget.h"

#include <QPainter>
#include <QPalette>
#include <cmath>

namespace orva::qt {
namespace {

constexpr double kTwipsPerInch = 1440.0;

}  // namespace

PanelWidget::PanelWidget(PanelModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
    model_.setObserver(this);
}

PanelWidget::~PanelWidget() { model_.setObserver(nullptr); }

int PanelWidget::toPixelsX(int twips) const { return static_cast<int>(std::lround(twips * logicalDpiX() / kTwipsPerInch)); }
int PanelWidget::toPixelsY(int twips) const { return static_cast<int>(std::lround(twips * logicalDpiY() / kTwipsPerInch)); }

QRect PanelWidget::toPixels(const layout::Rect& r) const {
    const int left = toPixelsX(r.left);
    const int top = toPixelsY(r.top);
    // Edges are rounded, not sizes, so neighbouring items meet as in twips.
    return QRect(left, top, toPixelsX(r.left + r.width) - left, toPixelsY(r.top + r.height) - top);
}

QSize PanelWidget::sizeHint() const { return {toPixelsX(layout::kClientWidth), toPixelsY(layout::kClientHeight)}; }

QRect PanelWidget::pixelRect(layout::Item item) const { return toPixels(layout::clientRect(layout::itemLayout(item))); }

QColor PanelWidget::toQColor(Colour colour) const {
    if (isSystemColour(colour)) {
        const QPalette& p = palette();
        switch (systemColourIndex(colour)) {
            case 5: return p.color(QPalette::Base);         // window background
            case 8: return p.color(QPalette::Text);         // window text
            case 15: return p.color(QPalette::Button);      // button face
            case 18: return p.color(QPalette::ButtonText);  // button text
            default: return p.color(QPalette::Window);
        }
    }
    return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                  static_cast<int>((colour >> 16) & 0xFF));
}

QFont PanelWidget::fontFor(const layout::Font& font) const {
    if (font.face.empty()) {
        // The control's default font: the desktop's dialog font at the small
        // size the layout's captions were made for.
        QFont f = this->font();
        f.setPointSizeF(8.0);
        return f;
    }
    QFont f(QString::fromUtf8(font.face.data(), static_cast<qsizetype>(font.face.size())));
    f.setStyleHint(QFont::Serif);  // the closest installed serif when the face is missing
    f.setPointSizeF(font.points);
    f.setWeight(QFont::Normal);
    return f;
}

bool PanelWidget::shown(const layout::ItemLayout& entry) const {
    // The frame's children go with it.
    if (entry.parent == layout::Parent::Frame1 && !model_.Frame1().visible) return false;
    using layout::Item;
    switch (entry.item) {
        case Item::Frame1: return model_.Frame1().visible;
        case Item::Label1_0: case Item::Label1_1: case Item::Label1_2: case Item::Label1_3:
            return model_.Label1(entry.index).visible;
        case Item::Shape2_0: case Item::Shape2_1: case Item::Shape2_2: case Item::Shape2_3:
            return model_.Shape2(entry.index).visible;
        case Item::Label2: return model_.Label2().visible;
        case Item::Label3: return model_.Label3().visible;
        case Item::Shape1_0: case Item::Shape1_1: case Item::Shape1_2: return model_.Shape1(entry.index).visible;
    }
    return true;
}

void PanelWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), toQColor(layout::kClientBackground));
    const QColor textColour = toQColor(layout::kTextColour);

    for (const auto& entry : layout::kItems) {
        if (!shown(entry)) continue;
        const QRect box = toPixels(layout::clientRect(entry));
        using layout::Item;
        switch (entry.kind) {
            case layout::Kind::Frame: {
                // A group box: an etched border whose top line runs through
                // the middle of the caption.
                painter.setFont(fontFor(entry.font));
                const QFontMetrics metrics(painter.font());
                const QString caption = QString::fromStdString(model_.Frame1().text);
                const int lineY = box.top() + metrics.height() / 2;
                const QRect border(box.left(), lineY, box.width() - 1, box.bottom() - lineY);
                painter.setRenderHint(QPainter::Antialiasing, false);
                painter.setPen(palette().color(QPalette::Light));
                painter.drawRect(border.translated(1, 1));
                painter.setPen(palette().color(QPalette::Dark));
                painter.drawRect(border);
                if (!caption.isEmpty()) {
                    const int pad = toPixelsX(90);
                    QRect text = metrics.boundingRect(caption);
                    text.moveTo(box.left() + pad, box.top());
                    text.adjust(-2, 0, 2, 0);
                    painter.fillRect(text, toQColor(layout::kClientBackground));
                    painter.setPen(textColour);
                    painter.drawText(text, Qt::AlignCenter, caption);
                }
                break;
            }
            case layout::Kind::Label: {
                const Caption& caption = entry.item == Item::Label2   ? model_.Label2()
                                         : entry.item == Item::Label3 ? model_.Label3()
                                                                      : model_.Label1(entry.index);
                painter.fillRect(box, toQColor(entry.background));
                painter.setFont(fontFor(entry.font));
                painter.setPen(textColour);
                const int align = entry.item == Item::Label2 ? (Qt::AlignRight | Qt::AlignVCenter)
                                                             : (Qt::AlignLeft | Qt::AlignVCenter);
                const QString text = QString::fromStdString(caption.text);
                if (entry.font.face.empty()) {
                    // The lamp captions are as wide as their lamps; a dialog
                    // font wider than the one they were laid out for may run
                    // past the box, into the empty frame beside it.
                    painter.drawText(box.topLeft() + QPoint(0, QFontMetrics(painter.font()).ascent()), text);
                    break;
                }
                // The weight and unit are clipped to their own box, as a label does.
                painter.save();
                painter.setClipRect(box);
                painter.drawText(box.adjusted(toPixelsX(45), 0, -toPixelsX(45), 0), align | Qt::TextSingleLine, text);
                painter.restore();
                break;
            }
            case layout::Kind::Lamp: {
                const Lamp& lamp = entry.item == Item::Shape2_0 || entry.item == Item::Shape2_1 ||
                                           entry.item == Item::Shape2_2 || entry.item == Item::Shape2_3
                                       ? model_.Shape2(entry.index)
                                       : model_.Shape1(entry.index);
                const int diameter = std::min(box.width(), box.height());
                const QRectF circle(box.left() + (box.width() - diameter) / 2.0, box.top() + (box.height() - diameter) / 2.0,
                                    diameter - 1.0, diameter - 1.0);
                painter.setRenderHint(QPainter::Antialiasing, true);
                painter.setPen(QPen(toQColor(layout::kLampOutline), 1.0));
                painter.setBrush(toQColor(lamp.fill));
                painter.drawEllipse(circle.translated(0.5, 0.5));
                painter.setBrush(Qt::NoBrush);
                break;
            }
        }
    }
}

}  // namespace orva::qt
