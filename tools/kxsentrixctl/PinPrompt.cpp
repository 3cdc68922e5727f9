#include "PinPrompt.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

// A PIN longer than this is no PIN: the rest of the line is read and dropped.
constexpr size_t kMaxPin = 256;
// Signals that end the process while the prompt is open. A stop (^Z) would leave echo off
// under the shell, or on again once continued, so the prompt ignores it.
constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Read by the signal handler: the terminal to restore and how.
volatile sig_atomic_t gTerminal = -1;
struct termios gSaved;

void restoreAndRaise(int signalNumber) {
    if (gTerminal >= 0) {
        tcsetattr(gTerminal, TCSAFLUSH, &gSaved);
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Echo off for its lifetime; a signal that ends the process puts echo back first.
class EchoOff {
public:
    explicit EchoOff(int terminal) {
        if (tcgetattr(terminal, &gSaved) != 0) {
            return;
        }
        struct sigaction action {};
        action.sa_handler = restoreAndRaise;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kInterrupts); ++i) {
            sigaction(kInterrupts[i], &action, &previous_[i]);
        }
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGTSTP, &ignore, &previousStop_);
        gTerminal = terminal;
        struct termios quiet = gSaved;
        quiet.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL);
        quiet.c_lflag |= ICANON;
        tcsetattr(terminal, TCSAFLUSH, &quiet);
    }
    ~EchoOff() {
        if (gTerminal < 0) {
            return;
        }
        tcsetattr(gTerminal, TCSAFLUSH, &gSaved);
        gTerminal = -1;
        for (size_t i = 0; i < std::size(kInterrupts); ++i) {
            sigaction(kInterrupts[i], &previous_[i], nullptr);
        }
        sigaction(SIGTSTP, &previousStop_, nullptr);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    struct sigaction previous_[std::size(kInterrupts)]{};
    struct sigaction previousStop_ {};
};

void writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        done += static_cast<size_t>(written);
    }
}

}  // namespace

std::optional<std::string> PinPrompt::ask(const std::string& prompt, std::string& problem) {
    int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        problem = "no terminal to ask the PIN on";
        return std::nullopt;
    }
    std::string pin;
    pin.reserve(kMaxPin);  // no reallocation leaves a copy of the PIN behind
    bool ended = false;
    {
        EchoOff quiet(terminal);
        writeAll(terminal, prompt);
        char byte = 0;
        ssize_t got = 0;
        while ((got = read(terminal, &byte, 1)) != 0) {
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (byte == '\n') {
                ended = true;
                break;
            }
            if (pin.size() < kMaxPin) {
                pin.push_back(byte);
            }
        }
        writeAll(terminal, "\n");
        byte = 0;
    }
    close(terminal);
    if (!ended) {
        explicit_bzero(pin.data(), pin.size());
        problem = "the terminal closed before a PIN was entered";
        return std::nullopt;
    }
    return pin;
}
