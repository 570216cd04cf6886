// Runner of every external program: in the foreground with its merged output logged
// line by line, or detached in the background with its streams on /dev/null.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
public:
    // A bare name is looked up through PATH; the first argument is the last path component.
    explicit ChildProcess(const std::string& program);

    void addArg(const std::string& arg) { m_args.push_back(arg); }

    // True when the child was started (however it ended); it has been waited for.
    [[nodiscard]] bool run();
    // True when the child was started; it is only waited for by wait().
    [[nodiscard]] bool runBackground();
    // True when the end status of the pending child was obtained.
    [[nodiscard]] bool wait();

    const std::string& program() const { return m_program; }
    const std::vector<std::string>& args() const { return m_args; }
    pid_t pid() const { return m_pid; }
    int exitCode() const { return m_exitCode; }  // exit status, or signal number
    bool exited() const { return m_exited; }
    bool signalled() const { return m_signalled; }

private:
    void resetResults();

    std::string m_program;
    std::vector<std::string> m_args;
    pid_t m_pid = 0;
    int m_exitCode = -1;
    bool m_exited = false;
    bool m_signalled = false;
};
