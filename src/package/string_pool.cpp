#include "package/string_pool.h"

#include <cstring>
#include <functional>

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kMaxChunks = 1 << 16;
constexpr size_t kLengthBytes = sizeof(uint32_t);
constexpr size_t kFirstOffset = 8;

size_t hashOf(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

}  // namespace

bool StringPool::addChunk(size_t bytes, size_t firstOffset) {
    if (m_chunks.size() == kMaxChunks) {
        m_full = true;
        return false;
    }
    m_chunks.push_back(std::make_unique<char[]>(bytes));
    m_chunkBytes += bytes;
    m_chunkSize = bytes;
    m_chunkUsed = firstOffset;
    return true;
}

StringPool::Id StringPool::store(std::string_view text) {
    const size_t needed = kLengthBytes + text.size() + 1;
    // Offset 0 of chunk 0 would be id kEmpty: the first chunk starts after it.
    if (m_chunks.empty() && !addChunk(kChunkBytes, kFirstOffset)) return kEmpty;
    // A text longer than a chunk gets a chunk of its own, at offset 0.
    if (m_chunkUsed + needed > m_chunkSize && !addChunk(needed > kChunkBytes ? needed : kChunkBytes, 0)) return kEmpty;
    char* at = m_chunks.back().get() + m_chunkUsed;
    const auto length = static_cast<uint32_t>(text.size());
    std::memcpy(at, &length, kLengthBytes);
    if (!text.empty()) std::memcpy(at + kLengthBytes, text.data(), text.size());
    at[kLengthBytes + text.size()] = '\0';
    const Id id = static_cast<Id>((m_chunks.size() - 1) << 16 | m_chunkUsed);
    m_chunkUsed += needed;
    return id;
}

std::string_view StringPool::view(Id id) const {
    if (id == kEmpty) return {"", 0};
    const char* at = m_chunks[id >> 16].get() + (id & 0xFFFF);
    uint32_t length;
    std::memcpy(&length, at, kLengthBytes);
    return {at + kLengthBytes, length};
}

StringPool::Id StringPool::find(std::string_view text) const {
    if (text.empty()) return kEmpty;
    const size_t mask = m_slots.size() - 1;
    for (size_t slot = hashOf(text) & mask;; slot = (slot + 1) & mask) {
        const Id id = m_slots[slot];
        if (id == kEmpty || view(id) == text) return id;
    }
}

StringPool::Id StringPool::intern(std::string_view text) {
    if (text.empty()) return kEmpty;
    const size_t mask = m_slots.size() - 1;
    size_t slot = hashOf(text) & mask;
    for (; m_slots[slot] != kEmpty; slot = (slot + 1) & mask) {
        if (view(m_slots[slot]) == text) return m_slots[slot];
    }
    const Id id = store(text);
    if (id == kEmpty) return kEmpty;
    m_slots[slot] = id;
    if (++m_interned * 2 > m_slots.size()) grow();
    return id;
}

StringPool::Id StringPool::append(std::string_view text) {
    if (text.empty()) return kEmpty;
    return store(text);
}

void StringPool::grow() {
    std::vector<Id> slots(m_slots.size() * 2, kEmpty);
    const size_t mask = slots.size() - 1;
    for (const Id id : m_slots) {
        if (id == kEmpty) continue;
        size_t slot = hashOf(view(id)) & mask;
        while (slots[slot] != kEmpty) slot = (slot + 1) & mask;
        slots[slot] = id;
    }
    m_slots.swap(slots);
}
