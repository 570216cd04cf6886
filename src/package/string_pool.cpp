#include "package/string_pool.h"

#include <cstring>
#include <functional>

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kLengthBytes = sizeof(uint32_t);
const char kEmptyText[kLengthBytes + 1] = {};

size_t hashOf(std::string_view text) {
    return std::hash<std::string_view>{}(text);
}

}  // namespace

StringPool::StringPool() : m_starts{kEmptyText + kLengthBytes}, m_slots(64, kEmpty) {}

const char* StringPool::store(std::string_view text) {
    const size_t needed = kLengthBytes + text.size() + 1;
    if (m_chunks.empty() || m_chunkUsed + needed > m_chunkSize) {
        // A text longer than a chunk gets a chunk of its own.
        m_chunkSize = needed > kChunkBytes ? needed : kChunkBytes;
        m_chunks.push_back(std::make_unique<char[]>(m_chunkSize));
        m_chunkBytes += m_chunkSize;
        m_chunkUsed = 0;
    }
    char* at = m_chunks.back().get() + m_chunkUsed;
    const auto length = static_cast<uint32_t>(text.size());
    std::memcpy(at, &length, kLengthBytes);
    std::memcpy(at + kLengthBytes, text.data(), text.size());
    at[kLengthBytes + text.size()] = '\0';
    m_chunkUsed += needed;
    return at + kLengthBytes;
}

std::string_view StringPool::view(Id id) const {
    const char* start = m_starts[id];
    uint32_t length;
    std::memcpy(&length, start - kLengthBytes, kLengthBytes);
    return {start, length};
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
    const Id id = append(text);
    m_slots[slot] = id;
    if (++m_interned * 2 > m_slots.size()) grow();
    return id;
}

StringPool::Id StringPool::append(std::string_view text) {
    if (text.empty()) return kEmpty;
    m_starts.push_back(store(text));
    return static_cast<Id>(m_starts.size() - 1);
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

size_t StringPool::memoryBytes() const {
    return m_chunkBytes + m_starts.capacity() * sizeof(const char*) + m_slots.capacity() * sizeof(Id);
}
