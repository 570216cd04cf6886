// An array that grows by blocks of fixed size: no element ever moves, and growing never holds
// the old and the new storage at once, as a doubling vector does at its peak.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

template <class T, unsigned kBlockBits>
class ChunkedArray {
public:
    static constexpr size_t kBlockSize = size_t{1} << kBlockBits;

    size_t size() const { return m_size; }
    T& operator[](size_t index) { return m_blocks[index >> kBlockBits][index & (kBlockSize - 1)]; }
    const T& operator[](size_t index) const { return m_blocks[index >> kBlockBits][index & (kBlockSize - 1)]; }

    void push_back(const T& value) {
        if (m_size == m_blocks.size() * kBlockSize) m_blocks.push_back(std::make_unique<T[]>(kBlockSize));
        (*this)[m_size++] = value;
    }
    // Makes room for count elements in one block, so that they can be read as one run from
    // the index size() has afterwards; false when count is more than a block holds.
    [[nodiscard]] bool startRun(size_t count) {
        if (count > kBlockSize) return false;
        const size_t used = m_size & (kBlockSize - 1);
        if (used != 0 && used + count > kBlockSize) m_size += kBlockSize - used;  // the rest stays unused
        return true;
    }
    size_t memoryBytes() const {
        return m_blocks.size() * kBlockSize * sizeof(T) + m_blocks.capacity() * sizeof(void*);
    }

private:
    std::vector<std::unique_ptr<T[]>> m_blocks;
    size_t m_size = 0;
};
