#include "foundation/cluster_marks.h"

#include <algorithm>
#include <new>

bool ClusterMarks::Begin(uint64_t u64Clusters) {
    if (m_uLowWord <= m_uHighWord) {
        std::fill(m_words.begin() + static_cast<std::ptrdiff_t>(m_uLowWord),
                  m_words.begin() + static_cast<std::ptrdiff_t>(m_uHighWord) + 1, 0);
    }
    m_uLowWord = SIZE_MAX;
    m_uHighWord = 0;
    const uint64_t words = (u64Clusters + 63) / 64;
    try {
        if (m_words.size() < words) m_words.resize(static_cast<size_t>(words), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool ClusterMarks::Visit(uint32_t uCluster) {
    const size_t word = uCluster / 64;
    const uint64_t bit = uint64_t{1} << (uCluster % 64);
    if (word >= m_words.size() || (m_words[word] & bit) != 0) return false;
    m_words[word] |= bit;
    m_uLowWord = std::min(m_uLowWord, word);
    m_uHighWord = std::max(m_uHighWord, word);
    return true;
}
