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
    // Where the text is: its chunk in the high 16 bits, its offset in the low 16, so that no
    // table of starts is needed.
    using Id = uint32_t;
    static constexpr Id kEmpty = 0;  // the empty string, never stored

    StringPool() : m_slots(64, kEmpty) {}
    StringPool(const StringPool&) = delete;
    StringPool& operator=(const StringPool&) = delete;
    StringPool(StringPool&&) = default;
    StringPool& operator=(StringPool&&) = default;

    // The id of the text, the same for equal texts; kEmpty for a text that no longer fits
    // (see full()).
    Id intern(std::string_view text);
    // The id of the text when it was interned, kEmpty otherwise (and for the empty text).
    Id find(std::string_view text) const;
    // A copy of the text that is not looked up again (a file name, a digest): no index entry.
    Id append(std::string_view text);

    // Valid as long as the pool: the bytes never move. Texts end with a NUL.
    std::string_view view(Id id) const;
    const char* c_str(Id id) const { return view(id).data(); }

    // Whether a text could not be stored: the ids address 65536 chunks of 64 KiB at most.
    bool full() const { return m_full; }
    // Bytes held by the chunks and the index.
    size_t memoryBytes() const { return m_chunkBytes + m_slots.capacity() * sizeof(Id); }

private:
    Id store(std::string_view text);
    [[nodiscard]] bool addChunk(size_t bytes, size_t firstOffset);
    void grow();

    std::vector<std::unique_ptr<char[]>> m_chunks;
    size_t m_chunkUsed = 0;
    size_t m_chunkSize = 0;
    size_t m_chunkBytes = 0;
    bool m_full = false;
    // Open addressing over the interned ids; kEmpty marks a free slot.
    std::vector<Id> m_slots;
    size_t m_interned = 0;
};
