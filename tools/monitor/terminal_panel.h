#pragma once
// The panel as text for a terminal: the frame caption, the four status lamps
// under their captions, the weight and unit beside the column of stability
// lamps, the four output properties, and the latest events. On a terminal it
// is redrawn in place after every decode; the lamps are coloured.

#include <deque>
#include <string>
#include <vector>

#include "control/activex_orva.h"

namespace orva::monitor {

// The lines of one drawing, without line ends. `colour` adds ANSI colours.
std::vector<std::string> panelLines(const ActivexORVA& control, const std::string& portText, bool colour);

class TerminalPanel {
public:
    static constexpr std::size_t kLogLines = 6;

    explicit TerminalPanel(std::FILE* out) : out_(out) {}
    ~TerminalPanel();
    void log(std::string line);
    void draw(const ActivexORVA& control, const std::string& portText);

private:
    std::FILE* out_;
    std::deque<std::string> log_;
    std::size_t drawnLines_ = 0;
};

}  // namespace orva::monitor
