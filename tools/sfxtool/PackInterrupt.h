// pack under SIGINT, SIGTERM and SIGHUP (Ctrl-C on a terminal, a CI job cancelled, a closed
// session): its 7zz children are killed and reaped, its work folder (the staged copy of the payload,
// the parts, the trial run's sandbox) is removed, OUT keeps its old bytes, and the process ends
// with 128 + the signal's number: 130, 143 or 129.
//
// The clean-up runs in the signal handler itself, whatever the process was doing: it first stops
// every other thread (each waits in a handler of its own until the process ends), so that nothing
// creates files behind it, then uses system calls alone (no allocation, no lock another thread may
// hold). A signal that was ignored when the pack began (nohup) stays ignored.
#pragma once

#include <sys/types.h>

#include <string>

namespace sfxtool {

// Installs the handlers for its lifetime; `out` is named in the message the handler prints.
class PackInterruptGuard {
public:
    explicit PackInterruptGuard(const std::string& out);
    ~PackInterruptGuard();
    PackInterruptGuard(const PackInterruptGuard&) = delete;
    PackInterruptGuard& operator=(const PackInterruptGuard&) = delete;
};

// The folder the clean-up removes (one at a time; "" for none). False when the path does not fit
// the handler's fixed buffer: the caller then cannot promise the clean-up.
bool InterruptRemoves(const std::string& folder);

// fork() with the three signals held back until the child is registered (the child gets the
// caller's mask back before it returns). Children are killed by the clean-up until ChildEnded.
pid_t ForkRegisteredChild();
void ChildEnded(pid_t pid);

}  // namespace sfxtool
