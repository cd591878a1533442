#include "simulator/terminal_simulator.h"

#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cmath>

namespace orva::sim {

TerminalSimulator::TerminalSimulator(SimulatorOptions options)
    : options_(std::move(options)), random_(options_.seed), scriptContext_(std::make_unique<QObject>()) {}

TerminalSimulator::~TerminalSimulator() {
    scriptContext_.reset();
    unplug();
}

void TerminalSimulator::start() {
    if (!options_.linkPath.empty()) link_ = std::make_unique<DeviceLink>(options_.linkPath);
    plug();
    runScript();
}

std::string TerminalSimulator::devicePath() const {
    if (link_) return link_->path();
    return pty_ ? pty_->slavePath() : std::string();
}

void TerminalSimulator::plug() {
    if (pty_) return;
    // Nothing is kept unless both the pseudo-terminal and the link are made.
    auto pty = std::make_unique<PseudoTerminal>();
    if (link_) link_->pointTo(pty->slavePath());
    pty_ = std::move(pty);
    context_ = std::make_unique<QObject>();
    readNotifier_ = std::make_unique<QSocketNotifier>(pty_->master(), QSocketNotifier::Read);
    QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, context_.get(), [this] { onReadable(); });
    writeNotifier_ = std::make_unique<QSocketNotifier>(pty_->master(), QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, context_.get(), [this] { onWritable(); });
    if (onLog_) onLog_("plugged in at " + devicePath() + (link_ ? " -> " + pty_->slavePath() : std::string()));
}

void TerminalSimulator::unplug() {
    if (!pty_) return;
    const std::string path = devicePath();
    readNotifier_.reset();
    writeNotifier_.reset();
    context_.reset();  // answers not yet sent go with the line
    outgoing_.clear();
    // The link goes before the line, so it never leads to a freed number.
    if (link_) link_->remove();
    retired_.push_back(PseudoTerminal::retire(std::move(pty_)));
    if (retired_.size() > kRetiredLinesKept) retired_.pop_front();
    if (onLog_) onLog_("unplugged " + path);
}

void TerminalSimulator::onReadable() {
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(pty_->master(), buffer, sizeof buffer);
        if (n > 0) {
            // Each line feed is one request; anything else on the line is ignored.
            for (ssize_t i = 0; i < n && pty_; ++i)
                if (buffer[i] == '\n') answerRequest();
            if (!pty_) return;  // the script unplugged the line while answering
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        // The slave side is gone for good (it cannot be, while we hold it):
        // stop listening rather than spin on a hung-up descriptor.
        readNotifier_->setEnabled(false);
        return;
    }
}

void TerminalSimulator::onWritable() { writePending(); }

void TerminalSimulator::writePending() {
    if (!pty_) return;
    while (!outgoing_.empty()) {
        const ssize_t n = ::write(pty_->master(), outgoing_.data(), outgoing_.size());
        if (n > 0) {
            if (onWrite_) onWrite_(std::string_view(outgoing_).substr(0, static_cast<std::size_t>(n)));
            outgoing_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) outgoing_.clear();  // nobody to write to: drop it
        break;
    }
    writeNotifier_->setEnabled(!outgoing_.empty());
}

void TerminalSimulator::send(std::string bytes, int delayMs) {
    if (bytes.empty() || !context_) return;
    const int delay = delayMs < 0 ? options_.replyDelayMs : delayMs;
    QTimer::singleShot(delay, Qt::PreciseTimer, context_.get(), [this, bytes = std::move(bytes)] {
        outgoing_ += bytes;
        writePending();
    });
}

std::string TerminalSimulator::currentFrame(double weight) const {
    if (options_.format == FrameFormat::Orva2) return orva2Frame(weight, options_.decimals);
    return orva1Frame(weight, options_.decimals, options_.prefix, options_.suffix);
}

// Printable bytes without the marker letter: never a frame of either kind.
std::string TerminalSimulator::garbage() {
    static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvxyz0123456789 .,:;?!*+-";
    std::uniform_int_distribution<std::size_t> length(8, 24);
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string bytes(length(random_), ' ');
    for (char& c : bytes) c = kAlphabet[pick(random_)];
    return bytes;
}

void TerminalSimulator::answerRequest() {
    ++requests_;
    Answer answer;
    if (!answers_.empty()) {
        answer = std::move(answers_.front());
        answers_.pop_front();
    }
    switch (answer.kind) {
        case Answer::Kind::Frame: send(currentFrame(answer.weight.value_or(weight_)), answer.delayMs); break;
        case Answer::Kind::Silent: break;
        case Answer::Kind::Garbage: send(garbage(), answer.delayMs); break;
        case Answer::Kind::Bytes: send(answer.bytes, answer.delayMs); break;
        case Answer::Kind::Flood: {
            const std::string frame = currentFrame(weight_);
            std::string bytes;
            while (bytes.size() < static_cast<std::size_t>(answer.floodBytes)) bytes += frame;
            bytes.resize(static_cast<std::size_t>(answer.floodBytes));
            send(std::move(bytes), answer.delayMs);
            break;
        }
    }
    if (answers_.empty()) runScript();
}

void TerminalSimulator::addScript(std::vector<ScriptCommand> commands) {
    script_.insert(script_.end(), std::make_move_iterator(commands.begin()), std::make_move_iterator(commands.end()));
    if (pty_ || link_) runScript();
}

bool TerminalSimulator::scriptWaits() const {
    using Op = ScriptCommand::Op;
    return std::any_of(script_.begin(), script_.end(), [](const ScriptCommand& c) {
        return (c.op == Op::Hold || c.op == Op::Settle || c.op == Op::Silent || c.op == Op::Garbage) ? c.count > 0
               : c.op == Op::Split || c.op == Op::Late || c.op == Op::Flood || c.op == Op::Sleep;
    });
}

void TerminalSimulator::runScript() {
    if (inScript_) return;
    inScript_ = true;
    using Op = ScriptCommand::Op;
    while (next_ < script_.size() && answers_.empty() && !sleeping_) {
        const ScriptCommand& c = script_[next_++];
        switch (c.op) {
            case Op::Format: options_.format = c.format; break;
            case Op::Decimals: options_.decimals = c.count; break;
            case Op::Prefix: options_.prefix = c.text; break;
            case Op::Suffix: options_.suffix = c.text; break;
            case Op::Delay: options_.replyDelayMs = c.count; break;
            case Op::Weight: weight_ = c.value; break;
            case Op::Settle: {
                const double scale = std::pow(10.0, options_.decimals);
                std::uniform_real_distribution<double> noise(-c.noise, c.noise);
                for (int i = 0; i < c.count; ++i) {
                    Answer a;
                    a.weight = std::round((c.value + noise(random_)) * scale) / scale;
                    answers_.push_back(a);
                }
                weight_ = c.value;
                break;
            }
            case Op::Hold: answers_.insert(answers_.end(), static_cast<std::size_t>(c.count), Answer{}); break;
            case Op::Silent:
            case Op::Garbage: {
                Answer a;
                a.kind = c.op == Op::Silent ? Answer::Kind::Silent : Answer::Kind::Garbage;
                answers_.insert(answers_.end(), static_cast<std::size_t>(c.count), a);
                break;
            }
            case Op::Split: {
                const std::string frame = currentFrame(weight_);
                const std::size_t at = c.count < 0 ? frame.size() / 2 : std::min<std::size_t>(c.count, frame.size());
                Answer first, rest;
                first.kind = rest.kind = Answer::Kind::Bytes;
                first.bytes = frame.substr(0, at);
                rest.bytes = frame.substr(at);
                answers_.push_back(first);
                answers_.push_back(rest);
                break;
            }
            case Op::Late: {
                Answer a;
                a.delayMs = c.count;
                answers_.push_back(a);
                break;
            }
            case Op::Flood: {
                Answer a;
                a.kind = Answer::Kind::Flood;
                a.floodBytes = c.count;
                answers_.push_back(a);
                break;
            }
            case Op::Unplug: unplug(); break;
            case Op::Replug:
                try {
                    plug();
                } catch (const std::exception& error) {
                    // Stays unplugged; the script goes on, as a user's would.
                    if (onLog_) onLog_(std::string("cannot replug: ") + error.what());
                }
                break;
            case Op::Sleep:
                sleeping_ = true;
                QTimer::singleShot(c.count, Qt::PreciseTimer, scriptContext_.get(), [this] {
                    sleeping_ = false;
                    runScript();
                });
                break;
            case Op::Loop:
                // A script that never waits would loop without letting the event loop run.
                if (scriptWaits()) next_ = 0;
                break;
            case Op::Quit:
                next_ = script_.size();
                if (onQuit_) onQuit_();
                break;
        }
    }
    inScript_ = false;
}

}  // namespace orva::sim
