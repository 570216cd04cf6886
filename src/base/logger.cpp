#include "base/logger.h"

#include <fcntl.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/own_files.h"
#include "base/util.h"

namespace {

// The message of a printf format, whatever its length.
__attribute__((format(printf, 1, 0))) std::string formatted(const char* format, va_list args) {
    char buffer[512];
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(buffer, sizeof buffer, format, args);
    std::string text;
    if (length < 0) {
        text = format;  // a format the C library refuses: its text says more than nothing
    } else if (static_cast<size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<size_t>(length));
    } else {
        text.resize(static_cast<size_t>(length) + 1);
        vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

struct LevelInfo {
    const char* configWord;
    const char* printedWord;
    int syslogPriority;
};

constexpr LevelInfo kLevels[] = {
    {"trace", "TRACE", LOG_DEBUG},    {"debug", "DEBUG", LOG_DEBUG}, {"info", "INFO", LOG_INFO},
    {"warn", "WARNING", LOG_WARNING}, {"error", "ERROR", LOG_ERR},   {"fatal", "FATAL", LOG_CRIT},
};
constexpr int kLevelCount = sizeof(kLevels) / sizeof(kLevels[0]);

const LevelInfo* levelInfo(LogLevel level) {
    int n = static_cast<int>(level);
    return n >= 0 && n < kLevelCount ? &kLevels[n] : nullptr;
}

struct FacilityInfo {
    const char* word;
    int code;
};

constexpr FacilityInfo kFacilities[] = {
    {"daemon", LOG_DAEMON}, {"user", LOG_USER},     {"local0", LOG_LOCAL0}, {"local1", LOG_LOCAL1},
    {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5},
    {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7},
};

// A log file of the updater's own, opened as fopen's "a" or "w" would; a refusal is logged.
FilePtr openOwnLog(const std::string& path, bool append, bool& refused) {
    UniqueFd fd;
    const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
    const OwnFileOpen opened = openOwnFile(path, flags, 0666, fd);
    refused = opened == OwnFileOpen::Refused;
    if (opened != OwnFileOpen::Opened) return FilePtr();
    FilePtr stream(fdopen(fd.get(), append ? "a" : "w"));
    if (stream) fd.release();
    return stream;
}

}  // namespace

const char* logLevelWord(LogLevel level) {
    const LevelInfo* info = levelInfo(level);
    return info ? info->printedWord : "UNKNOWN";
}

int logLevelSyslogPriority(LogLevel level) {
    const LevelInfo* info = levelInfo(level);
    return info ? info->syslogPriority : LOG_DEBUG;
}

LogLevel parseLogLevel(const std::string& word) {
    for (int n = 0; n < kLevelCount; ++n)
        if (word == kLevels[n].configWord) return static_cast<LogLevel>(n);
    LOG(Error, "unrecognized logger level '%s' using 'info'", word.c_str());
    return LogLevel::Info;
}

int parseSyslogFacility(const std::string& word) {
    for (const FacilityInfo& facility : kFacilities)
        if (word == facility.word) return facility.code;
    LOG(Error, "unrecognized syslog facility '%s' using 'daemon'", word.c_str());
    return LOG_DAEMON;
}

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

void Logger::log(LogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vlog(level, format, args);
    va_end(args);
}

void Logger::vlog(LogLevel level, const char* format, va_list args) {
    if (!passes(level)) return;
    const char* word = logLevelWord(level);
    // Each output formats the message on its own, consuming its own copy of the arguments.
    if (m_syslog) {
        va_list copy;
        va_copy(copy, args);
        vsyslog(logLevelSyslogPriority(level), format, copy);
        va_end(copy);
    }
    if (!writesText(level)) return;
    // The line is formatted once and written whole: one write to the unbuffered stderr
    // instead of three, and no other process's output inside a line.
    va_list copy;
    va_copy(copy, args);
    writeText(level, std::string(word) + ": " + formatted(format, copy) + "\n");
    va_end(copy);
}

void Logger::logLines(LogLevel level, const std::vector<std::string>& messages) {
    if (!passes(level)) return;
    if (m_syslog)
        for (const std::string& message : messages) syslog(logLevelSyslogPriority(level), "%s", message.c_str());
    if (!writesText(level)) return;
    const std::string word = std::string(logLevelWord(level)) + ": ";
    std::string text;
    for (const std::string& message : messages) text += word + message + "\n";
    writeText(level, text);
}

bool Logger::writesText(LogLevel level) const {
    if (m_stderr) return true;
    for (const LogFileOutput& file : m_files)
        if (static_cast<int>(file.threshold) <= static_cast<int>(level)) return true;
    return false;
}

void Logger::writeText(LogLevel level, const std::string& text) {
    if (m_stderr) fwrite(text.data(), 1, text.size(), stderr);
    for (LogFileOutput& file : m_files) {
        if (static_cast<int>(file.threshold) > static_cast<int>(level)) continue;
        fwrite(text.data(), 1, text.size(), file.stream.get());
        fflush(file.stream.get());
    }
}

void Logger::setSyslog(bool on, int options, int facility) {
    m_syslog = on;
    if (!on) return;
    // The identity handed to openlog must outlive the connection: keep a copy that a
    // later setIdent cannot free.
    m_openedIdent = m_ident;
    openlog(m_openedIdent.c_str(), options, facility);
}

bool Logger::addFile(const std::string& path, LogLevel threshold, bool append, bool ownFile) {
    for (LogFileOutput& file : m_files) {
        if (file.path == path) {
            file.threshold = threshold;
            return true;
        }
    }
    bool refused = false;
    FilePtr stream(ownFile ? openOwnLog(path, append, refused) : FilePtr(fopen(path.c_str(), append ? "a" : "w")));
    if (!stream) {
        if (refused) return false;  // logged with its reason
        LOG(Error, "cannot open log file %s: %s", path.c_str(), errnoText().c_str());
        return false;
    }
    m_files.push_back(LogFileOutput{path, std::move(stream), threshold});
    return true;
}

bool Logger::removeFile(const std::string& path) {
    for (auto it = m_files.begin(); it != m_files.end(); ++it) {
        if (it->path == path) {
            m_files.erase(it);
            return true;
        }
    }
    return false;
}

void Logger::reset() {
    m_files.clear();
    m_threshold = LogLevel::Info;
    m_stderr = true;
    m_syslog = false;
}
