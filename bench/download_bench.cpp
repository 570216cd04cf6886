// One download of a file over HTTP, timed, either as the updater makes it (byte limit, rate
// floor, deadline, partial file with its validator and periodic syncs) or as neon's own
// dispatch writes a body into a file (what the updater did before it counted anything).
// bench/download.sh runs both in turn against the tests' server on 127.0.0.1.
//
//     updater_download_bench --mode counted|plain URL PATH DEST [PARTIAL [LIMIT]]
//
// Prints "seconds <wall> received <bytes> resumed <bytes> cpu <user+system seconds>"; exit 0
// when the file is complete.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <neon/ne_request.h>
#include <neon/ne_session.h>
#include <neon/ne_socket.h>
#include <neon/ne_uri.h>

#include "base/handles.h"
#include "network/downloader.h"
#include "network/transfer.h"
#include "network/url_fetcher.h"

namespace {

struct Plain {
    int fd;
    uint64_t bytes = 0;
};

int writePlain(void* userdata, const char* buffer, size_t length) {
    Plain* plain = static_cast<Plain*>(userdata);
    while (length > 0) {
        ssize_t written = write(plain->fd, buffer, length);
        if (written <= 0) return -1;
        buffer += written;
        length -= static_cast<size_t>(written);
        plain->bytes += static_cast<uint64_t>(written);
    }
    return 0;
}

bool plainDownload(const std::string& url, const std::string& path, const std::string& dest, uint64_t& received) {
    NeUri uri;
    if (!uri.parse(url.c_str())) return false;
    NeSessionPtr session(ne_session_create(uri->scheme, uri->host, uri->port ? uri->port : 80));
    UniqueFd fd(open((dest + ".tmp").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    Plain plain{fd.get()};
    NeRequestPtr request(ne_request_create(session.get(), "GET", (std::string(uri->path) + path).c_str()));
    ne_add_response_body_reader(request.get(), ne_accept_2xx, writePlain, &plain);
    const bool ok = ne_request_dispatch(request.get()) == NE_OK && ne_get_status(request.get())->klass == 2;
    received = plain.bytes;
    return ok && fd.close() && rename((dest + ".tmp").c_str(), dest.c_str()) == 0;
}

bool countedDownload(const std::string& url, const std::string& path, const std::string& dest,
                     const std::string& partial, uint64_t limit, TransferTotals& totals) {
    Downloader downloader;
    if (!downloader.open(url)) return false;
    DownloadSpec spec;
    spec.partialPath = partial;
    if (limit) {
        spec.limit.maxBytes = limit;
        spec.limit.declaredSize = limit;
        spec.limit.origin = "declared by the repository";
    }
    const bool ok = downloader.download(path, dest, false, spec);
    totals = downloader.takeTotals();
    return ok;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || std::strcmp(argv[1], "--mode") != 0) {
        std::fprintf(stderr, "usage: %s --mode counted|plain URL PATH DEST [PARTIAL [LIMIT]]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[2], url = argv[3], path = argv[4], dest = argv[5];
    const std::string partial = argc > 6 ? argv[6] : "";
    const uint64_t limit = argc > 7 ? std::strtoull(argv[7], nullptr, 10) : 0;
    ne_sock_init();
    URLFetcher::initClass(FetcherConfig(), "/dev/null", "/nonexistent", "/nonexistent");

    const double start = monotonicSeconds();
    const double cpuStart = cpuSeconds();
    bool ok;
    TransferTotals totals;
    if (mode == "plain") {
        ok = plainDownload(url, path, dest, totals.received);
    } else {
        ok = countedDownload(url, path, dest, partial, limit, totals);
    }
    const double seconds = monotonicSeconds() - start;
    const double cpu = cpuSeconds() - cpuStart;
    std::printf("seconds %.6f received %" PRIu64 " resumed %" PRIu64 " cpu %.6f\n", seconds, totals.received,
                totals.resumed, cpu);
    ne_sock_exit();
    return ok ? 0 : 1;
}
