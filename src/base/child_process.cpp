#include "base/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/handles.h"
#include "base/logger.h"
#include "base/paths.h"
#include "base/util.h"

namespace {

constexpr size_t kLineBufferSize = 1024;

// The updater ignores SIGPIPE and an ignored disposition survives exec; the programs
// it runs expect the default.
void resetSigpipe() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGPIPE, &action, nullptr) != 0) perror("failed resetting SIGPIPE");
}

// The argument vector for execvp, built before fork so that the child allocates nothing.
std::vector<char*> buildArgv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return argv;
}

// Child side of run(): stdin from /dev/null, stdout and stderr into the pipe. Descriptors
// 0 to 2 may have been closed in the parent, so pipe ends or /dev/null can already sit
// on a standard slot; those are overwritten by dup2, never closed.
[[noreturn]] void execWithPipe(int readFd, int writeFd, const char* program, char* const* argv) {
    close(readFd);
    resetSigpipe();
    int devNull = open(paths::kDevNull, O_RDONLY);
    if (devNull < 0) {
        perror("failed opening /dev/null");
        _exit(1);
    }
    if (dup2(devNull, STDIN_FILENO) < 0) {
        perror("failed redirecting stdin to /dev/null");
        _exit(1);
    }
    if (devNull > STDERR_FILENO) close(devNull);
    if (dup2(writeFd, STDOUT_FILENO) < 0 || dup2(writeFd, STDERR_FILENO) < 0) {
        perror("failed redirecting stdout/stderr to pipe");
        _exit(1);
    }
    if (writeFd > STDERR_FILENO) close(writeFd);
    execvp(program, argv);
    perror(program);
    _exit(1);
}

// Child side of runBackground(): its own session, every standard stream on /dev/null.
[[noreturn]] void execDetached(const char* program, char* const* argv) {
    if (setsid() < 0) perror("setting a new session");
    resetSigpipe();
    int devNull = open(paths::kDevNull, O_RDWR);
    if (devNull < 0) {
        perror("failed opening /dev/null");
        _exit(1);
    }
    if (dup2(devNull, STDIN_FILENO) < 0 || dup2(devNull, STDOUT_FILENO) < 0 || dup2(devNull, STDERR_FILENO) < 0) {
        perror("failed redirecting stdout/stderr to pipe");
        _exit(1);
    }
    if (devNull > STDERR_FILENO) close(devNull);
    execvp(program, argv);
    perror(program);
    _exit(1);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program) : m_program(program) {
    std::string::size_type slash = program.rfind('/');
    m_args.push_back(slash == std::string::npos ? program : program.substr(slash + 1));
}

void ChildProcess::resetResults() {
    if (m_pid != 0) LOG(Warn, "Did not wait on previously spawned helper");
    m_pid = 0;
    m_exitCode = -1;
    m_exited = false;
    m_signalled = false;
}

bool ChildProcess::run() {
    resetResults();

    int ends[2];
    if (pipe(ends) != 0) {
        LOG(Error, "failed creating pipe to run '%s' (%s)", m_program.c_str(), errnoText().c_str());
        return false;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    std::vector<char*> argv = buildArgv(m_args);
    pid_t pid = fork();
    if (pid < 0) {
        LOG(Error, "failed forking to run '%s' (%s)", m_program.c_str(), errnoText().c_str());
        return false;
    }
    if (pid == 0) execWithPipe(readEnd.get(), writeEnd.get(), m_program.c_str(), argv.data());

    m_pid = pid;
    LOG(Debug, "started child '%s' with PID %i", m_program.c_str(), static_cast<int>(pid));
    // Without our copy of the write end, end of file arrives when the child is done.
    writeEnd.reset();

    std::unique_ptr<char[]> buffer(new char[kLineBufferSize]);
    FilePtr stream(fdopen(readEnd.get(), "r"));
    if (stream) {
        readEnd.release();
        bool headerLogged = false;
        while (fgets(buffer.get(), kLineBufferSize, stream.get())) {
            size_t length = strlen(buffer.get());
            // Skips empty lines, and the bare newline left over when a line of exactly
            // 1023 characters filled the buffer.
            if (length < 2) continue;
            if (buffer[length - 1] == '\n') buffer[length - 1] = '\0';
            if (!headerLogged) {
                LOG(Info, "%s output:", m_program.c_str());
                headerLogged = true;
            }
            LOG(Info, "  %s", buffer.get());
        }
        if (ferror(stream.get())) LOG(Error, "failed reading output from child, closing pipe");
        stream.reset();
    } else {
        // The child still has to be drained, or it would block on a full pipe.
        LOG(Error, "cannot read output from child: %s", errnoText().c_str());
        for (;;) {
            ssize_t count = read(readEnd.get(), buffer.get(), kLineBufferSize);
            if (count > 0) continue;
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) LOG(Error, "error reading child output (%s), closing pipe", errnoText().c_str());
            break;
        }
        readEnd.reset();
    }
    buffer.reset();

    // A failed wait is logged there; exited() then stays false, which callers take as an
    // interrupted child.
    (void)wait();
    return true;
}

bool ChildProcess::runBackground() {
    resetResults();

    std::vector<char*> argv = buildArgv(m_args);
    pid_t pid = fork();
    if (pid < 0) {
        LOG(Error, "failed forking to run '%s' (%s)", m_program.c_str(), errnoText().c_str());
        return false;
    }
    if (pid == 0) execDetached(m_program.c_str(), argv.data());

    m_pid = pid;
    LOG(Debug, "started background child '%s' with PID %i", m_program.c_str(), static_cast<int>(pid));
    return true;
}

bool ChildProcess::wait() {
    if (m_pid == 0) return false;
    int status = 0;
    pid_t result;
    do {
        result = waitpid(m_pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    m_pid = 0;
    if (result < 0) {
        LOG(Error, "failed recovering child exit status (%s)", errnoText().c_str());
        return false;
    }
    if (WIFEXITED(status)) {
        m_exitCode = WEXITSTATUS(status);
        m_exited = true;
        LOG(Debug, "child '%s' exited with code %i", m_program.c_str(), m_exitCode);
    } else if (WIFSIGNALED(status)) {
        m_exitCode = WTERMSIG(status);
        m_signalled = true;
        LOG(Error, "child '%s' terminated by signal %i", m_program.c_str(), m_exitCode);
    } else {
        LOG(Error, "child '%s' terminated by unknown reason", m_program.c_str());
    }
    return true;
}
