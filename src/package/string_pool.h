// Strings of a package list held once: names, versions and capability names repeat across
// thousands of records, and a device holds them as small integers instead of as strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

class StringPool {
public:
    using Id = uint32_t;
    static constexpr Id kEmpty = 0;  // the empty string, never stored

    StringPool();
    StringPool(const StringPool&) = delete;
    StringPool& operator=(const StringPool&) = delete;
    StringPool(StringPool&&) = default;
    StringPool& operator=(StringPool&&) = default;

    // The id of the text, the same for equal texts.
    Id intern(std::string_view text);
    // The id of the text when it was interned, kEmpty otherwise (and for the empty text).
    Id find(std::string_view text) const;
    // A copy of the text that is not looked up again (a file name, a digest): no index entry.
    Id append(std::string_view text);

    // Valid as long as the pool: the bytes never move.
    std::string_view view(Id id) const;
    const char* c_str(Id id) const { return m_starts[id]; }

    size_t count() const { return m_starts.size(); }
    // Bytes held by the text, the starts and the index.
    size_t memoryBytes() const;

private:
    const char* store(std::string_view text);
    void grow();

    std::vector<std::unique_ptr<char[]>> m_chunks;
    size_t m_chunkUsed = 0;
    size_t m_chunkSize = 0;
    size_t m_chunkBytes = 0;  // allocated, over every chunk
    // The length is kept before each text (4 bytes), the NUL after it.
    std::vector<const char*> m_starts;
    // Open addressing over the interned ids; 0 marks a free slot (kEmpty is never indexed).
    std::vector<Id> m_slots;
    size_t m_interned = 0;
};
