#pragma once
// The panel as text for a terminal: the frame caption, the four status lamps
// under their captions, the weight and unit beside the column of stability
// lamps, the four output properties, and the latest events. On a terminal it
// is redrawn in place after every decode; the lamps are coloured. Every line
// is cut to the terminal's width, so none wraps and the drawing always
// takes the same rows; after a resize the screen is cleared and drawn anew.

#include <deque>
#include <string>
#include <vector>

#include "control/activex_orva.h"

namespace orva::monitor {

// The lines of one drawing, without line ends. `colour` adds ANSI colours.
std::vector<std::string> panelLines(const ActivexORVA& control, const std::string& portText, bool colour);

// The line cut to `columns` characters on the screen: colour sequences take
// no room and are kept, a cut inside a colour ends it.
std::string fitToWidth(const std::string& line, std::size_t columns);

// The control's message followed by a short English gloss in brackets, for
// the terminal view ("сом порт: 9600,n,8,1 [port settings in force]").
std::string withGloss(const std::string& message);

class TerminalPanel {
public:
    static constexpr std::size_t kLogLines = 6;

    // Drawings narrower than this are cut at this width all the same.
    static constexpr std::size_t kMinColumns = 40;

    explicit TerminalPanel(std::FILE* out);
    ~TerminalPanel();
    void log(std::string line);
    // Returns false when the terminal could not be written.
    bool draw(const ActivexORVA& control, const std::string& portText);

private:
    std::size_t columns() const;

    std::FILE* out_;
    std::deque<std::string> log_;
    std::size_t drawnLines_ = 0;
};

}  // namespace orva::monitor
