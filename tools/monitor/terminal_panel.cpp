#include "tools/monitor/terminal_panel.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <cstdio>

namespace orva::monitor {
namespace {

volatile std::sig_atomic_t resized = 0;
void onResize(int) { resized = 1; }

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

std::string fitToWidth(const std::string& line, std::size_t columns) {
    std::string out;
    std::size_t used = 0;
    bool coloured = false;
    for (std::size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c == 0x1b && i + 1 < line.size() && line[i + 1] == '[') {
            std::size_t end = i + 2;
            while (end < line.size() && !(line[end] >= 0x40 && line[end] <= 0x7e)) ++end;
            const std::string sequence = line.substr(i, end + 1 - i);
            coloured = sequence != "\x1b[0m";
            out += sequence;
            i = end + 1;
            continue;
        }
        // One column per character: the panel writes Latin and Cyrillic
        // letters and the lamp circles, all one column wide.
        std::size_t length = 1;
        if (c >= 0xf0) length = 4;
        else if (c >= 0xe0) length = 3;
        else if (c >= 0xc0) length = 2;
        if (used == columns) {
            if (coloured) out += "\x1b[0m";
            return out;
        }
        out.append(line, i, length);
        ++used;
        i += length;
    }
    return out;
}

std::string withGloss(const std::string& message) {
    // Both texts are Cyrillic throughout, "сом" and "СОМ" included.
    static const std::string kPort = "сом порт: ";
    static const std::string kPortError = "Данные СОМ порта заданы некорректно: ";
    if (message.rfind(kPort, 0) == 0) return message + " [port settings in force]";
    if (message.rfind(kPortError, 0) == 0) return message + " [the port refused the new number or settings; the previous ones are back]";
    return message;
}

TerminalPanel::TerminalPanel(std::FILE* out) : out_(out) {
    struct sigaction action{};
    action.sa_handler = onResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
}

std::size_t TerminalPanel::columns() const {
    winsize size{};
    if (::ioctl(fileno(out_), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

TerminalPanel::~TerminalPanel() {
    std::fputs("\x1b[?25h", out_);  // the cursor comes back
    std::fflush(out_);
}

void TerminalPanel::log(std::string line) {
    log_.push_back(std::move(line));
    while (log_.size() > kLogLines) log_.pop_front();
}

bool TerminalPanel::draw(const ActivexORVA& control, const std::string& portText) {
    std::vector<std::string> lines = panelLines(control, portText, true);
    lines.emplace_back("");
    for (std::size_t i = 0; i < kLogLines; ++i) lines.push_back(i < log_.size() ? "   " + log_[i] : "");
    // The last column is left free: a character there makes some terminals
    // wrap at once, which would shift every later row.
    const std::size_t width = std::max(columns(), kMinColumns) - 1;
    std::string out = "\x1b[?25l";
    if (resized) {
        // A terminal that reflowed what was drawn leaves the rows where
        // nobody can count them: start again at the top of a clear screen.
        resized = 0;
        out += "\x1b[H\x1b[2J";
    } else if (drawnLines_ > 0) {
        out += "\x1b[" + std::to_string(drawnLines_) + "F";
    }
    for (const auto& line : lines) out += fitToWidth(line, width) + "\x1b[K\n";
    drawnLines_ = lines.size();
    return std::fputs(out.c_str(), out_) >= 0 && std::fflush(out_) == 0;
}

}  // namespace orva::monitor
