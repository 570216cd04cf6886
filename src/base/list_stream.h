// The content of a package list exactly as the open checksum and the parser both see it: the
// single gzip stream a compressed list holds, decoded, or a plain file as it is stored. A
// second stream or any byte after the first is an error, so the bytes a checksum covered are
// the bytes that get parsed; the decoded length is capped by what the repository declared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <zlib.h>

#include "base/handles.h"

class ListStream {
public:
    ListStream() = default;
    ~ListStream();
    ListStream(const ListStream&) = delete;
    ListStream& operator=(const ListStream&) = delete;

    // maxBytes caps the decoded content; origin says where the cap came from in messages
    // ("declared by the repository"). False when the file cannot be opened (not logged: see
    // fileOpened, errno tells why) or its first bytes cannot be read (logged).
    [[nodiscard]] bool open(const std::string& path, uint64_t maxBytes, const char* origin);
    bool fileOpened() const { return m_file != nullptr; }
    // Up to size bytes: the count, 0 at the end of the content (the whole file consumed), or
    // -1 on an error, logged once.
    long read(unsigned char* buffer, size_t size);

private:
    [[nodiscard]] bool fill();
    long fail();
    long readPlain(unsigned char* buffer, size_t size);
    long readGzip(unsigned char* buffer, size_t size);
    [[nodiscard]] bool checkNothingFollows();
    [[nodiscard]] bool count(size_t bytes);

    std::string m_path;
    const char* m_origin = "";
    FilePtr m_file;
    z_stream m_zs{};
    bool m_inflating = false;
    bool m_gzip = false;
    bool m_streamEnded = false;
    bool m_failed = false;
    uint64_t m_maxBytes = 0;
    uint64_t m_produced = 0;
    std::vector<unsigned char> m_input;
};
