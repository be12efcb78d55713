#include "end_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

namespace ombrix::posix
{

namespace
{
// The pipe that the end signals write to: a signal handler may do no more than that.
int endPipe[2] = { -1, -1 };
} // namespace

void watchEndSignals()
{
    if (endPipe[0] >= 0 || ::pipe2(endPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction request = {};
    request.sa_handler = [](int) {
        const char byte = 1;
        // Nothing to do when the pipe is full: a request is already waiting.
        [[maybe_unused]] const ssize_t n = ::write(endPipe[1], &byte, 1);
    };
    request.sa_flags = SA_RESTART;
    sigemptyset(&request.sa_mask);
    for (int signal : { SIGTERM, SIGHUP, SIGINT }) {
        sigaction(signal, &request, nullptr);
    }
}

int endRequestDescriptor()
{
    return endPipe[0];
}

void quietBrokenPipes()
{
    // A write to the X server's socket after the server has gone raises SIGPIPE, which would
    // end the program before the loss of the connection is handled as such: the write fails
    // instead. A handler that does nothing, rather than ignoring the signal, is not passed on
    // to programs started from here.
    struct sigaction quiet = {};
    quiet.sa_handler = [](int) {};
    quiet.sa_flags = SA_RESTART;
    sigemptyset(&quiet.sa_mask);
    sigaction(SIGPIPE, &quiet, nullptr);
}

} // namespace ombrix::posix
