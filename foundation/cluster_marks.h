// One bit per cluster, for telling that a chain of clusters came back on itself. Made on first
// use and kept; each walk clears only the words the previous one touched, so walking many short
// chains of a large volume costs no more than the chains themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ClusterMarks {
public:
    // Forgets the last walk and makes room for u64Clusters; false when memory ran out.
    bool Begin(uint64_t u64Clusters);
    // false when the cluster was met already in this walk or lies beyond the map.
    bool Visit(uint32_t uCluster);

private:
    std::vector<uint64_t> m_words;
    size_t m_uLowWord = SIZE_MAX, m_uHighWord = 0;
};
