// One file on its way from a server into a local file: the bytes it may take, the time it may
// take, how far it got, and what a later attempt needs to resume it. Counted on the bytes
// received: a server's Content-Length is only believed when it is already too large.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/updater_config.h"

// The most bytes a file may have, and where that number came from for the message
// ("... exceeds the 6144 bytes declared by the repository").
struct TransferLimit {
    uint64_t maxBytes = UINT64_MAX;
    std::string origin = "allowed";
    // The exact size the repository declared (0: not known); a resumed range must end there.
    uint64_t declaredSize = 0;
};

// The If-Range validator of a response for a later resume: a strong ETag, else Last-Modified;
// empty when the server gave neither (the file can then only be fetched again from 0).
std::string resumeValidator(const char* etag, const char* lastModified);

// "bytes first-last/total" of a 206 answer; the total may not be "*".
struct ContentRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
};
[[nodiscard]] bool parseContentRange(const char* text, ContentRange& range);

// Whether a 206 answer continues a file of offset bytes: it starts there, ends at its total,
// and its total is the declared size when one is known.
bool rangeContinues(const ContentRange& range, uint64_t offset, uint64_t declaredSize);

// The rate floor: a transfer must move at least minBytesPerSecond over every window of
// windowSeconds. Fed with the bytes received and the monotonic time of each block.
class StallMeter {
public:
    StallMeter(uint64_t minBytesPerSecond, unsigned windowSeconds, double start);
    // False when the window that just closed was slower than the floor; rate() tells its rate.
    [[nodiscard]] bool add(uint64_t bytes, double now);
    double rate() const { return m_rate; }

private:
    uint64_t m_minRate;
    double m_window;
    double m_windowStart;
    uint64_t m_windowBytes = 0;
    double m_rate = 0;
};

// Seconds a file of maxBytes may take in all: the base plus its size at the deadline rate.
double transferDeadlineSeconds(const TransferPolicy& policy, uint64_t maxBytes);

// Seconds on the monotonic clock.
double monotonicSeconds();

// A download in progress into fd, shared by the attempts and the redirects of one file.
struct Transfer {
    int fd = -1;
    TransferLimit limit;
    double deadline = 0;         // monotonic seconds; 0: none
    double deadlineSeconds = 0;  // the time allowed, for the message
    uint64_t size = 0;           // bytes the file holds now
    // A resumable transfer keeps its bytes across attempts and asks for the rest with Range
    // and If-Range(validator); saveValidator records a new validator before its first byte.
    bool resumable = false;
    std::string validator;
    std::function<bool(const std::string&)> saveValidator;

    // Set by the fetcher.
    bool refused = false;       // over its limit or its deadline: another attempt cannot help
    bool stalled = false;       // the last attempt was aborted by the rate floor
    bool completeAsIs = false;  // a 416 to a resume: the bytes already there are the whole file
    uint64_t received = 0;      // body bytes received, every attempt counted
    uint64_t resumed = 0;       // bytes kept from before and not fetched again
    uint64_t discarded = 0;     // bytes thrown away when an answer started the file again
};
