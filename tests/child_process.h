// A test's body run in a child process of its own: to drop root (so that permissions hold) or to
// set a process limit, without touching the test program itself.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

struct ChildRun {
    bool skipped = false;  // root here cannot become another user
    bool ok = false;       // the child ended normally and handed over all it said
    std::string said;      // what BODY returned
};

// Runs BODY in a forked child, as user 65534 when DROPROOT and running as root.
inline ChildRun InChild(bool dropRoot, const std::function<std::string()>& body) {
    ChildRun run;
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return run;
    }
    std::fflush(nullptr);  // nothing buffered for the child to print again
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        if (dropRoot && ::geteuid() == 0 && ::setuid(65534) != 0) {
            ::_exit(3);
        }
        const std::string said = body();
        ::_exit(::write(pipe[1], said.data(), said.size()) == static_cast<ssize_t>(said.size())
                    ? 0
                    : 4);
    }
    ::close(pipe[1]);
    char buffer[512];
    for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;) {
        run.said.append(buffer, static_cast<size_t>(got));
    }
    ::close(pipe[0]);
    int status = 0;
    const bool ended = ::waitpid(child, &status, 0) == child && WIFEXITED(status);
    run.skipped = ended && WEXITSTATUS(status) == 3;
    run.ok = ended && WEXITSTATUS(status) == 0;
    return run;
}
