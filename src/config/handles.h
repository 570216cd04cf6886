// RAII owners for the C handles the updater uses: one deleter template, one alias per type.
#pragma once

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <libxml/xmlmemory.h>
#include <libxml/xmlreader.h>
#include <openssl/evp.h>
#include <zlib.h>

template <auto F>
struct CFree {
    template <class T>
    void operator()(T* p) const noexcept {
        if (p) F(p);
    }
};

using FilePtr = std::unique_ptr<FILE, CFree<fclose>>;
using XmlReaderPtr = std::unique_ptr<xmlTextReader, CFree<xmlFreeTextReader>>;
using XmlDocPtr = std::unique_ptr<xmlDoc, CFree<xmlFreeDoc>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, CFree<EVP_MD_CTX_free>>;
using GzFilePtr = std::unique_ptr<gzFile_s, CFree<gzclose>>;
// Text a C library allocated with malloc (rpmExpand, for one).
using MallocTextPtr = std::unique_ptr<char, CFree<free>>;

// xmlFree is a variable holding the allocator's free function, not a function.
struct XmlStringFree {
    void operator()(xmlChar* p) const noexcept {
        if (p) xmlFree(p);
    }
};
using XmlStringPtr = std::unique_ptr<xmlChar, XmlStringFree>;

// A file descriptor that is closed on destruction; closing keeps errno intact so that
// an error path can still report the failure that made it give up.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            int saved = errno;
            ::close(m_fd);
            errno = saved;
        }
        m_fd = fd;
    }
    // Close and report the result, for writers that must know the close succeeded.
    [[nodiscard]] bool close() {
        int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd = -1;
};
