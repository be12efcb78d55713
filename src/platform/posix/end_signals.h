#pragma once
// The system's requests to end (the session's end, a kill) and the broken-pipe signal, turned
// into things a program's event loop can wait on.

namespace ombrix::posix
{

// SIGTERM, SIGHUP and SIGINT write to a pipe from now on; once.
void watchEndSignals();
// The pipe's reading end: readable once an end was asked for; -1 before watchEndSignals().
int endRequestDescriptor();

// A write to a socket whose reader has gone fails with EPIPE instead of ending the process.
void quietBrokenPipes();

} // namespace ombrix::posix
