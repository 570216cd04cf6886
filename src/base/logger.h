// The process-wide logger: syslog, standard error and any number of log files,
// each file with a threshold of its own.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "base/handles.h"

enum class LogLevel : int { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5 };

// The word printed in files and on standard error ("UNKNOWN" outside the table).
const char* logLevelWord(LogLevel level);
// The syslog priority of a level (LOG_DEBUG outside the table).
int logLevelSyslogPriority(LogLevel level);

// Configuration words "trace" ... "fatal"; anything else logs an error and gives Info.
LogLevel parseLogLevel(const std::string& word);
// "daemon", "user", "local0" ... "local7"; anything else logs an error and gives LOG_DAEMON.
[[nodiscard]] int parseSyslogFacility(const std::string& word);

class Logger {
public:
    static Logger& instance();

    bool passes(LogLevel level) const { return static_cast<int>(level) >= static_cast<int>(m_threshold); }
    LogLevel level() const { return m_threshold; }

    void log(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void vlog(LogLevel level, const char* format, va_list args) __attribute__((format(printf, 3, 0)));
    // Lines of one level written to stderr and the files at once (syslog takes one message
    // each): a long list costs one write instead of one a line.
    void logLines(LogLevel level, const std::vector<std::string>& messages);

    void setLevel(LogLevel level) { m_threshold = level; }
    void setStderr(bool on) { m_stderr = on; }
    bool stderrEnabled() const { return m_stderr; }
    bool syslogEnabled() const { return m_syslog; }
    void setSyslog(bool on, int options, int facility);
    void setIdent(const std::string& ident) { m_ident = ident; }

    // True when an output for exactly this path string exists afterwards. An ownFile (a log
    // at one of the updater's fixed paths) is never opened through a link, and only when it
    // is the updater's own regular file.
    [[nodiscard]] bool addFile(const std::string& path, LogLevel threshold, bool append, bool ownFile = false);
    bool removeFile(const std::string& path);
    // Closes every file output and restores the initial state (used by tests).
    void reset();

private:
    Logger() = default;
    // Whether stderr or a file takes lines of the level; the text goes to each of them.
    bool writesText(LogLevel level) const;
    void writeText(LogLevel level, const std::string& text);

    struct LogFileOutput {
        std::string path;
        FilePtr stream;
        LogLevel threshold;
    };

    std::vector<LogFileOutput> m_files;
    std::string m_ident;  // openlog keeps a pointer to it: never freed while syslog is open
    std::string m_openedIdent;
    LogLevel m_threshold = LogLevel::Info;
    bool m_stderr = true;
    bool m_syslog = false;
};

// Every call site tests the threshold before the message arguments are built.
#define LOG(lvl, ...)                                                                                             \
    do {                                                                                                          \
        if (::Logger::instance().passes(::LogLevel::lvl)) ::Logger::instance().log(::LogLevel::lvl, __VA_ARGS__); \
    } while (0)
