// The console: standard output as a text stream for the dialogue and the
// progress dots, standard error for the lines that scripts read, standard
// input for the answers.
//
//  - Standard input is read one byte at a time, so that a script can pipe the
//    answers and keep the rest of its input; a CR right before a LF is
//    dropped, and on Windows an answer in one pair of double quotes loses them.
//  - A console stream that the caller of the program left closed stays
//    closed: writes to it go nowhere, and an answer from it is empty.
//  - Console writes that fail only make `flush()` false: a reader that went
//    away never ends the run half-way through its output file.
#pragma once

#include "platform/files.h"
#include "platform/text_writer.h"

#include <chrono>
#include <string>
#include <string_view>

namespace brenzolt {

class Console {
  public:
    Console(); // standard output and standard input
    Console(int outputFd, int inputFd, int errorFd = -1);
    void print(std::string_view text) { out_.write(text); }
    // The dialogue's text, its usage line and questions: printed, and also written to
    // standard error where standard input is a terminal and standard output is not, so that
    // the person who answers sees what is asked.
    void printDialogue(std::string_view text);
    // Text for scripts (help, the version), whose '\n' ends a line the
    // system's way.
    void printForScripts(std::string_view text);
    // From now on the console text goes to standard error, out of the way of
    // a grid written to standard output.
    void moveToStandardError();
    // "brenzolt: NAME: REASON" on standard error, a line for scripts.
    void reportFailure(const std::string& name, const std::string& reason) {
        lineForScripts(name, reason);
    }
    // "brenzolt: SUBJECT: TEXT" on standard error: something the user should
    // know about a run that goes on.
    void warn(const std::string& subject, const std::string& text) {
        lineForScripts(subject, text);
    }
    // A line of progress on standard error, where that is a terminal, over the
    // last one; elsewhere nothing. The lines for scripts take it away first,
    // and so does an empty text.
    void showProgress(std::string_view text);
    // One dot of progress. On a terminal the dots are flushed a few times a
    // second so that they appear while a long conversion runs; to a file or a
    // pipe they cost no system call of their own.
    void progressDot();
    bool flush() { return out_.flush(); } // false once any console write failed
    // Reads one answer line from standard input after flushing the console.
    // End of input ends the answer; end of input before any character gives
    // an empty answer. The line feed is consumed and not stored.
    std::string readAnswer();
    // Standard input that is the open file `input` (the input grid itself)
    // gives no answers: a retry then gives up at once.
    void takeNoAnswersFrom(const InputFile& input);
    // Whether standard input and standard output are both the terminal (on
    // Windows the console), where someone can answer a question.
    bool isInteractive() const;
    // Whether the dialogue's questions are seen where their answers come from:
    // anywhere standard input is not a terminal (a script gives the answers),
    // and where it is, on standard output or standard error.
    bool questionsSeen() const;
    // Standard output, which an output file may turn out to be; -1 when closed.
    int outputDescriptor() const { return outputFd_; }
    // In a console window of its own (the program was started by a double
    // click), asks for Enter before the window closes, so that the user sees
    // how the run ended; anywhere else (a shell, a script, a pipe) nothing.
    void keepOwnWindowOpen();

  private:
    void lineForScripts(const std::string& subject, const std::string& text);
    TextWriter out_;
    int outputFd_;
    int inputFd_;
    int errorFd_;
    bool terminal_;
    bool echo_;                     // the dialogue also on standard error
    std::size_t progressShown_ = 0; // the length of the progress line on standard error
    std::chrono::steady_clock::time_point lastFlush_;
};

} // namespace brenzolt
