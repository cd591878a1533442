#include "tools/monitor/terminal_panel.h"

#include <cstdio>

namespace orva::monitor {
namespace {

std::string lamp(Colour fill, bool visible, bool colour) {
    if (!visible) return " ";
    if (!colour) {
        switch (fill) {
            case kGreen: return "G";
            case kRed: return "R";
            case kWhite: return "o";
            default: return ".";
        }
    }
    switch (fill) {
        case kGreen: return "\x1b[1;32m\u25cf\x1b[0m";
        case kRed: return "\x1b[1;31m\u25cf\x1b[0m";
        case kWhite: return "\x1b[97m\u25cf\x1b[0m";
        case kWindowBackground: return "\x1b[2m\u25cb\x1b[0m";
        default: return "?";
    }
}

std::string padded(const std::string& text, std::size_t width) {
    // Captions are ASCII apart from the locale's separator; near enough.
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::vector<std::string> panelLines(const ActivexORVA& control, const std::string& portText, bool colour) {
    const PanelModel& p = control.panel();
    const std::string bold = colour ? "\x1b[1m" : "";
    const std::string plain = colour ? "\x1b[0m" : "";
    std::vector<std::string> lines;
    const std::string frame = p.Frame1().visible ? p.Frame1().text : "";
    lines.push_back(" [" + bold + padded(frame, 8) + plain + "]  " + portText);
    std::string captions = "   ";
    std::string lamps = "   ";
    for (std::size_t i = 0; i < PanelModel::kStatusLamps; ++i) {
        captions += padded(p.Label1(i).text, 6);
        lamps += " " + lamp(p.Shape2(i).fill, p.Shape2(i).visible, colour) + "    ";
    }
    lines.push_back(captions);
    lines.push_back(lamps);
    const std::string weight = p.Label2().text;
    const std::string unit = p.Label3().text;
    lines.push_back(" " + lamp(p.Shape1(2).fill, true, colour) + " +------------------+-------+");
    lines.push_back(" " + lamp(p.Shape1(1).fill, true, colour) + " | " + bold +
                    std::string(weight.size() < 16 ? 16 - weight.size() : 0, ' ') + weight + plain + " | " +
                    padded(unit, 5) + " |");
    lines.push_back(" " + lamp(p.Shape1(0).fill, true, colour) + " +------------------+-------+");
    lines.push_back(" VesTerminal \"" + control.VesTerminal() + "\"  TipTerminal " + control.TipTerminal() +
                    "  StatusTerminal " + control.StatusTerminal() + "  UnitWeight " + control.UnitWeight());
    return lines;
}

TerminalPanel::~TerminalPanel() {
    std::fputs("\x1b[?25h", out_);  // the cursor comes back
    std::fflush(out_);
}

void TerminalPanel::log(std::string line) {
    log_.push_back(std::move(line));
    while (log_.size() > kLogLines) log_.pop_front();
}

void TerminalPanel::draw(const ActivexORVA& control, const std::string& portText) {
    std::vector<std::string> lines = panelLines(control, portText, true);
    lines.emplace_back("");
    for (std::size_t i = 0; i < kLogLines; ++i) lines.push_back(i < log_.size() ? "   " + log_[i] : "");
    std::string out = "\x1b[?25l";
    if (drawnLines_ > 0) out += "\x1b[" + std::to_string(drawnLines_) + "F";
    for (const auto& line : lines) out += line + "\x1b[K\n";
    std::fputs(out.c_str(), out_);
    std::fflush(out_);
    drawnLines_ = lines.size();
}

}  // namespace orva::monitor
