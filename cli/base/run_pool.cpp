#include "cli/base/run_pool.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>

#include "cli/base/errors.h"

namespace ondrift::cli {

namespace {

constexpr std::size_t kMaxMessage = 4000;

struct Child {
    std::size_t task = 0;
    int pipe = -1;
    std::chrono::steady_clock::time_point start;
};

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = std::min(text.size(), kMaxMessage);
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

[[noreturn]] void runChild(const PoolTask& task, int pipe) {
    const int log = ::open(task.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log >= 0) {
        ::dup2(log, STDERR_FILENO);
        ::dup2(log, STDOUT_FILENO);
        ::close(log);
    }
    int code = 1;
    std::string message;
    try {
        code = task.work();
    } catch (const InputError& e) {
        message = e.what();
        code = kExitBadInput;
    } catch (const std::bad_alloc&) {
        message = "out of memory";
    } catch (const std::exception& e) {
        message = e.what();
    }
    if (!message.empty()) std::fprintf(stderr, "ondrift: error: %s\n", message.c_str());
    writeAll(pipe, message);
    std::fflush(nullptr);
    ::_exit(code);
}

std::string readAll(int fd) {
    std::string text;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace

std::vector<PoolOutcome> runInProcesses(
    const std::vector<PoolTask>& tasks, int jobs, const std::function<void(std::size_t)>& started,
    const std::function<void(std::size_t, const PoolOutcome&)>& finished) {
    std::vector<PoolOutcome> outcomes(tasks.size());
    std::map<pid_t, Child> running;
    std::size_t next = 0;
    if (jobs < 1) jobs = 1;
    while (next < tasks.size() || !running.empty()) {
        while (next < tasks.size() && static_cast<int>(running.size()) < jobs) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) throw ProcessingError("cannot make a pipe");
            std::fflush(nullptr);  // nothing buffered may be written twice
            const pid_t pid = ::fork();
            if (pid < 0) {
                ::close(fds[0]);
                ::close(fds[1]);
                throw ProcessingError(std::string("cannot start a process: ") +
                                      std::strerror(errno));
            }
            if (pid == 0) {
                ::close(fds[0]);
                runChild(tasks[next], fds[1]);
            }
            ::close(fds[1]);
            running[pid] = Child{next, fds[0], std::chrono::steady_clock::now()};
            if (started) started(next);
            ++next;
        }
        // A child's message is short: it fits in the pipe, so the child never waits on it.
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) continue;
            throw ProcessingError(std::string("waiting for a run failed: ") + std::strerror(errno));
        }
        const auto it = running.find(pid);
        if (it == running.end()) continue;
        PoolOutcome& o = outcomes[it->second.task];
        o.message = readAll(it->second.pipe);
        ::close(it->second.pipe);
        o.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - it->second.start)
                .count();
        if (WIFEXITED(status)) {
            o.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            o.signal = WTERMSIG(status);
            o.message = std::string("ended by signal ") + std::to_string(o.signal) + " (" +
                        strsignal(o.signal) + ")";
        }
        const std::size_t task = it->second.task;
        running.erase(it);
        if (finished) finished(task, o);
    }
    return outcomes;
}

}  // namespace ondrift::cli
