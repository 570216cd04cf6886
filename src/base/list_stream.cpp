#include "base/list_stream.h"

#include <algorithm>
#include <cinttypes>

#include "base/logger.h"
#include "base/util.h"

namespace {

constexpr size_t kInputChunk = 16 * 1024;
constexpr unsigned char kGzipMagic0 = 0x1f;
constexpr unsigned char kGzipMagic1 = 0x8b;
// zlib's window bits plus 16: a gzip header and trailer, nothing else.
constexpr int kGzipWindowBits = 15 + 16;

}  // namespace

ListStream::~ListStream() {
    if (m_inflating) inflateEnd(&m_zs);
}

bool ListStream::open(const std::string& path, uint64_t maxBytes, const char* origin) {
    m_path = path;
    m_origin = origin;
    m_maxBytes = maxBytes;
    m_file.reset(fopen(path.c_str(), "rb"));
    if (!m_file) return false;
    m_input.resize(kInputChunk);
    if (!fill()) return false;
    m_gzip = m_zs.avail_in >= 2 && m_input[0] == kGzipMagic0 && m_input[1] == kGzipMagic1;
    if (!m_gzip) return true;
    if (inflateInit2(&m_zs, kGzipWindowBits) != Z_OK) {
        LOG(Error, "failed while reading from '%s'", path.c_str());
        return false;
    }
    m_inflating = true;
    return true;
}

// Refills the input when it is used up; at the end of the file avail_in stays 0.
bool ListStream::fill() {
    if (m_zs.avail_in > 0) return true;
    size_t got = fread(m_input.data(), 1, m_input.size(), m_file.get());
    if (got < m_input.size() && ferror(m_file.get())) {
        LOG(Error, "failed while reading from '%s'", m_path.c_str());
        return false;
    }
    m_zs.next_in = m_input.data();
    m_zs.avail_in = static_cast<uInt>(got);
    return true;
}

long ListStream::fail() {
    m_failed = true;
    return -1;
}

bool ListStream::count(size_t bytes) {
    m_produced += bytes;
    if (m_produced <= m_maxBytes) return true;
    LOG(Error, "'%s' decompresses to more than the %" PRIu64 " bytes %s", m_path.c_str(), m_maxBytes, m_origin);
    return false;
}

long ListStream::read(unsigned char* buffer, size_t size) {
    if (m_failed) return -1;
    if (size == 0) return 0;
    return m_gzip ? readGzip(buffer, size) : readPlain(buffer, size);
}

long ListStream::readPlain(unsigned char* buffer, size_t size) {
    if (!fill()) return fail();
    size_t take = std::min<size_t>(size, m_zs.avail_in);
    std::copy(m_zs.next_in, m_zs.next_in + take, buffer);
    m_zs.next_in += take;
    m_zs.avail_in -= static_cast<uInt>(take);
    if (!count(take)) return fail();
    return static_cast<long>(take);
}

long ListStream::readGzip(unsigned char* buffer, size_t size) {
    if (m_streamEnded) return 0;
    const uInt requested = static_cast<uInt>(std::min<size_t>(size, UINT32_MAX));
    m_zs.next_out = buffer;
    m_zs.avail_out = requested;
    for (;;) {
        if (!fill()) return fail();
        const bool inputEnded = m_zs.avail_in == 0;
        int status = inflate(&m_zs, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            m_streamEnded = true;
            if (!checkNothingFollows()) return fail();
            break;
        }
        if (status != Z_OK && status != Z_BUF_ERROR) {
            LOG(Debug, "zlib: %s in '%s'", m_zs.msg ? m_zs.msg : "data error", m_path.c_str());
            LOG(Error, "failed while reading from '%s'", m_path.c_str());
            return fail();
        }
        if (m_zs.avail_out < requested) break;
        if (inputEnded) {
            LOG(Debug, "zlib: truncated gzip stream in '%s'", m_path.c_str());
            LOG(Error, "failed while reading from '%s'", m_path.c_str());
            return fail();
        }
    }
    size_t produced = requested - m_zs.avail_out;
    if (!count(produced)) return fail();
    return static_cast<long>(produced);
}

// A second stream or junk after the first would be read by other gzip readers but not be
// covered by the checksum of the first.
bool ListStream::checkNothingFollows() {
    if (m_zs.avail_in == 0) {
        if (!fill()) return false;
    }
    if (m_zs.avail_in == 0) return true;
    LOG(Error, "trailing data after the gzip stream in '%s'", m_path.c_str());
    return false;
}
