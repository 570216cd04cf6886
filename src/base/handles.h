// RAII owners for the C handles the updater uses: one deleter template, one alias per type.
#pragma once

#include <dirent.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <libxml/xmlmemory.h>
#include <libxml/xmlreader.h>
#include <neon/ne_request.h>
#include <neon/ne_session.h>
#include <neon/ne_socket.h>
#include <neon/ne_uri.h>
#include <openssl/evp.h>
#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmio.h>
#include <rpm/rpmpgp.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>
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
// Base64 decoding state; EVP_ENCODE_CTX_new hands it out zeroed.
using EvpEncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, CFree<EVP_ENCODE_CTX_free>>;
using GzFilePtr = std::unique_ptr<gzFile_s, CFree<gzclose>>;
// Text a C library allocated with malloc (rpmExpand, for one).
using MallocTextPtr = std::unique_ptr<char, CFree<free>>;
using DirPtr = std::unique_ptr<DIR, CFree<closedir>>;
// rpm: transaction sets, database iterators, headers and tag data containers.
using RpmTsPtr = std::unique_ptr<rpmts_s, CFree<rpmtsFree>>;
using RpmDbIteratorPtr = std::unique_ptr<rpmdbMatchIterator_s, CFree<rpmdbFreeIterator>>;
using RpmDbIndexIteratorPtr = std::unique_ptr<rpmdbIndexIterator_s, CFree<rpmdbIndexIteratorFree>>;
using HeaderPtr = std::unique_ptr<headerToken_s, CFree<headerFree>>;
using RpmTdPtr = std::unique_ptr<rpmtd_s, CFree<rpmtdFree>>;
// rpm's own file streams (Fopen), closed with Fclose; and its OpenPGP parse results.
using RpmFdPtr = std::unique_ptr<_FD_s, CFree<Fclose>>;
using PgpDigPtr = std::unique_ptr<pgpDig_s, CFree<pgpFreeDig>>;

// neon: sessions, requests and network addresses made with ne_iaddr_make.
using NeSessionPtr = std::unique_ptr<ne_session, CFree<ne_session_destroy>>;
using NeRequestPtr = std::unique_ptr<ne_request, CFree<ne_request_destroy>>;
using NeInetAddrPtr = std::unique_ptr<ne_inet_addr, CFree<ne_iaddr_free>>;
// Name resolution results and the interface list.
using AddrInfoPtr = std::unique_ptr<addrinfo, CFree<freeaddrinfo>>;
using IfAddrsPtr = std::unique_ptr<ifaddrs, CFree<freeifaddrs>>;

// xmlFree is a variable holding the allocator's free function, not a function.
struct XmlStringFree {
    void operator()(xmlChar* p) const noexcept {
        if (p) xmlFree(p);
    }
};
using XmlStringPtr = std::unique_ptr<xmlChar, XmlStringFree>;

// A parsed URI. neon allocates its parts even when parsing fails, so the structure is freed
// whatever the outcome; it starts zeroed so that freeing an unparsed one is harmless.
class NeUri {
public:
    NeUri() { clear(); }
    ~NeUri() { ne_uri_free(&m_uri); }
    NeUri(const NeUri&) = delete;
    NeUri& operator=(const NeUri&) = delete;

    // True when text parsed; the previous content is dropped either way.
    [[nodiscard]] bool parse(const char* text) {
        reset();
        return ne_uri_parse(text, &m_uri) == 0;
    }
    void reset() {
        ne_uri_free(&m_uri);
        clear();
    }
    ne_uri& get() { return m_uri; }
    const ne_uri& get() const { return m_uri; }
    const ne_uri* operator->() const { return &m_uri; }

private:
    void clear() { m_uri = ne_uri{}; }
    ne_uri m_uri;
};

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
