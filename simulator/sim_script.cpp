#include "simulator/sim_script.h"

#include <charconv>
#include <map>
#include <sstream>

namespace orva::sim {
namespace {

using Op = ScriptCommand::Op;

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescape(std::string_view text, const std::string& where) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) throw ScriptError(where + "a lone \\ at the end");
        switch (text[i]) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 's': out += ' '; break;
            case '\\': out += '\\'; break;
            case 'x': {
                const int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
                const int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
                if (hi < 0 || lo < 0) throw ScriptError(where + "\\x needs two hexadecimal digits");
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default: throw ScriptError(where + "unknown escape \\" + text[i]);
        }
    }
    return out;
}

double number(const std::string& word, const std::string& where) {
    double value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc{} || end != word.data() + word.size()) throw ScriptError(where + "not a number: " + word);
    return value;
}

int count(const std::string& word, const std::string& where) {
    int value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (error != std::errc{} || end != word.data() + word.size() || value < 0)
        throw ScriptError(where + "not a count: " + word);
    return value;
}

}  // namespace

std::vector<ScriptCommand> parseScript(std::string_view text, int firstLine) {
    static const std::map<std::string, Op> kOps = {
        {"format", Op::Format}, {"decimals", Op::Decimals}, {"prefix", Op::Prefix}, {"suffix", Op::Suffix},
        {"delay", Op::Delay},   {"weight", Op::Weight},     {"settle", Op::Settle}, {"hold", Op::Hold},
        {"silent", Op::Silent}, {"garbage", Op::Garbage},   {"split", Op::Split},   {"late", Op::Late},
        {"flood", Op::Flood},   {"unplug", Op::Unplug},     {"replug", Op::Replug}, {"sleep", Op::Sleep},
        {"loop", Op::Loop},     {"quit", Op::Quit},
    };
    std::vector<ScriptCommand> commands;
    std::istringstream lines{std::string(text)};
    int lineNumber = firstLine - 1;
    for (std::string line; std::getline(lines, line);) {
        ++lineNumber;
        if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        const auto w = words(line);
        if (w.empty()) continue;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        const auto found = kOps.find(w[0]);
        if (found == kOps.end()) throw ScriptError(where + "unknown command " + w[0]);
        ScriptCommand c;
        c.op = found->second;
        c.line = lineNumber;
        auto expect = [&](std::size_t minArgs, std::size_t maxArgs) {
            if (w.size() - 1 < minArgs || w.size() - 1 > maxArgs)
                throw ScriptError(where + w[0] + ": wrong number of arguments");
        };
        switch (c.op) {
            case Op::Format:
                expect(1, 1);
                if (w[1] == "orva1") c.format = FrameFormat::Orva1;
                else if (w[1] == "orva2") c.format = FrameFormat::Orva2;
                else throw ScriptError(where + "format is orva1 or orva2");
                break;
            case Op::Prefix:
            case Op::Suffix: {
                // The rest of the line after the command word, verbatim but for escapes.
                const auto start = line.find(w[0]) + w[0].size();
                const auto first = line.find_first_not_of(" \t", start);
                c.text = first == std::string::npos ? std::string() : unescape(line.substr(first), where);
                break;
            }
            case Op::Weight: expect(1, 1); c.value = number(w[1], where); break;
            case Op::Settle:
                expect(3, 3);
                c.value = number(w[1], where);
                c.noise = number(w[2], where);
                c.count = count(w[3], where);
                break;
            case Op::Decimals:
            case Op::Delay:
            case Op::Hold:
            case Op::Silent:
            case Op::Garbage:
            case Op::Late:
            case Op::Flood:
            case Op::Sleep:
                expect(1, 1);
                c.count = count(w[1], where);
                break;
            case Op::Split:
                expect(0, 1);
                c.count = w.size() > 1 ? count(w[1], where) : -1;
                break;
            case Op::Unplug:
            case Op::Replug:
            case Op::Loop:
            case Op::Quit: expect(0, 0); break;
        }
        commands.push_back(std::move(c));
    }
    return commands;
}

std::string_view builtInLoadingScript() {
    return "# empty scale\n"
           "weight 0\n"
           "hold 5\n"
           "# a load goes on and settles\n"
           "settle 12.5 0.4 4\n"
           "hold 8\n"
           "# taken off\n"
           "weight 0\n"
           "hold 4\n"
           "# the next load\n"
           "settle 27.3 0.6 5\n"
           "hold 8\n"
           "weight 0\n"
           "hold 4\n"
           "loop\n";
}

}  // namespace orva::sim
