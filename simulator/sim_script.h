#pragma once
// The simulator's script: one command per line, '#' starts a comment.
//
//   format orva1|orva2    reply format from now on
//   decimals N            places of the weight (ORVA-1 field, ORVA-2 implied)
//   prefix TEXT           ORVA-1 text before "WW" (escapes \r \n \t \xHH \\ \s)
//   suffix TEXT           ORVA-1 text after the weight field
//   delay MS              time from a request to its answer (default 40)
//   weight W              the weight answered from now on
//   settle W NOISE N      N answers scattered by up to +-NOISE around W, then W
//   hold N                N answers with the current weight
//   silent N              N requests go unanswered
//   garbage N             N answers of bytes that are no frame
//   split [AT]            the next frame in two parts: AT bytes (default half)
//                         answer this request, the rest the next one
//   late MS               the next answer comes MS after its request
//   flood BYTES           the next answer is BYTES bytes of repeated frames
//   unplug                close the pseudo-terminal, remove the link
//   replug                a new pseudo-terminal behind the same link
//   sleep MS              wait before the next command; requests are still answered
//   loop                  start the script again
//   quit                  end the simulator
//
// Commands that take answers (settle, hold, silent, garbage, split, late,
// flood) hold the script until those requests have come.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "simulator/frame_encoding.h"

namespace orva::sim {

class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ScriptCommand {
    enum class Op {
        Format, Decimals, Prefix, Suffix, Delay, Weight, Settle, Hold, Silent, Garbage,
        Split, Late, Flood, Unplug, Replug, Sleep, Loop, Quit,
    };
    Op op = Op::Weight;
    double value = 0;  // weight, or the number the command takes
    double noise = 0;  // settle only
    int count = 0;     // answers, bytes or milliseconds
    std::string text;  // prefix and suffix, with escapes resolved
    FrameFormat format = FrameFormat::Orva1;
    int line = 0;
};

// Throws ScriptError naming the line.
std::vector<ScriptCommand> parseScript(std::string_view text, int firstLine = 1);

// The loading cycle the hosts' --simulate runs: empty scale, a load put on,
// settling, stable, taken off, the next load, and again.
std::string_view builtInLoadingScript();

}  // namespace orva::sim
