#include "platform/console.h"

#include "platform/system.h"

#include <algorithm>

namespace brenzolt {

Console::Console() : Console(1, 0, 2) {}

// A console stream that the caller of the program left closed stays closed:
// the files the run opens later take over the lowest free descriptor numbers,
// and the console must neither read its answers from the input grid nor write
// its messages into the output file.
Console::Console(int outputFd, int inputFd, int errorFd)
    : out_(sys::descriptorIfOpen(outputFd)), outputFd_(sys::descriptorIfOpen(outputFd)),
      inputFd_(sys::descriptorIfOpen(inputFd)), errorFd_(sys::descriptorIfOpen(errorFd)),
      terminal_(sys::isTerminal(outputFd)),
      echo_(sys::isTerminal(inputFd_) && !terminal_ && errorFd_ >= 0) {}

void Console::moveToStandardError() {
    out_.redirect(errorFd_);
    terminal_ = sys::isTerminal(errorFd_);
    echo_ = false;
}

void Console::printDialogue(std::string_view text) {
    print(text);
    if (!echo_)
        return;
    std::string lines; // as the text stream writes them
    for (char c : text)
        lines += c == '\n' ? std::string(kLineEnd) : std::string(1, c);
    sys::writeAll(errorFd_, lines.data(), lines.size());
}

void Console::printForScripts(std::string_view text) {
    // Where the system ends lines as the text stream does (Windows), the stream's own line
    // ends; elsewhere the text as it is.
    if (kSystemLineEnd == kLineEnd)
        out_.write(text);
    else
        out_.writeLines(text);
}

void Console::showProgress(std::string_view text) {
    if (progressShown_ == 0 && (text.empty() || !sys::isTerminal(errorFd_)))
        return;
    std::string line(1, '\r');
    line.append(text);
    line.resize(std::max(line.size(), progressShown_ + 1), ' '); // over the last one
    if (text.empty())
        line += '\r';
    sys::writeAll(errorFd_, line.data(), line.size());
    progressShown_ = text.size();
}

void Console::lineForScripts(const std::string& subject, const std::string& text) {
    showProgress({});
    out_.flush(); // in the order it happened, where both streams meet
    brenzolt::lineForScripts(subject, text, [this](std::string_view line) {
        sys::writeAll(errorFd_, line.data(), line.size());
    });
}

// A console whose standard output and standard error are both closed shows
// nothing: its dots are not even kept.
void Console::progressDot() {
    if (outputFd_ < 0 && errorFd_ < 0)
        return;
    out_.write(".");
    auto now = std::chrono::steady_clock::now();
    if (terminal_ && now - lastFlush_ >= std::chrono::milliseconds(200)) { // five times a second
        out_.flush();
        lastFlush_ = now;
    }
}

bool Console::isInteractive() const {
    return sys::isTerminal(inputFd_) && sys::isTerminal(outputFd_);
}

bool Console::questionsSeen() const {
    return !sys::isTerminal(inputFd_) || sys::isTerminal(outputFd_) || sys::isTerminal(errorFd_);
}

void Console::takeNoAnswersFrom(const InputFile& input) {
    if (sys::isSameFile(inputFd_, input.descriptor()))
        inputFd_ = -1;
}

std::string Console::readAnswer() {
    out_.flush();
    std::string answer;
    // One byte at a time, so that a script can pipe the answers and keep the
    // rest of its input; a console that reads whole characters reads its own.
    if (!sys::readConsoleLine(inputFd_, answer)) {
        char c;
        while ((answer.empty() || answer.back() != '\n') && sys::readSome(inputFd_, &c, 1, -1) == 1)
            answer.push_back(c);
        answer = sys::answerInUtf8(std::move(answer));
    }
    // Standard input is a text stream: a CR LF pair arrives as a line feed.
    // A lone CR elsewhere, even at the end of input, stays part of the answer.
    if (answer.ends_with("\r\n"))
        answer.resize(answer.size() - 2);
    else if (answer.ends_with('\n'))
        answer.pop_back();
    if (sys::kQuotedAnswers && answer.size() > 2 && answer.front() == '"' &&
        answer.find('"', 1) == answer.size() - 1)
        answer = answer.substr(1, answer.size() - 2);
    return answer;
}

void Console::keepOwnWindowOpen() {
    if (!sys::isOwnConsoleWindow(inputFd_, outputFd_))
        return;
    print("\npress Enter to close this window");
    readAnswer();
}

} // namespace brenzolt
