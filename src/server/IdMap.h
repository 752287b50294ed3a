#pragma once

#include <QHash>
#include <vector>

// Folder id -> value. Servers number their folders from a database counter,
// so the ids are mostly small: those sit in a plain array, any others in a
// hash. Lookups in a listing of a hundred thousand folders stay cheap.
template <typename T> class IdMap
{
public:
    // Makes room for ids 0..maxId in the array when that range is not much
    // larger than the number of entries expected.
    void reserve(int maxId, qsizetype expected, T empty)
    {
        m_empty = empty;
        if (maxId >= 0 && qsizetype(maxId) <= 8 * expected + 1024)
            m_dense.resize(size_t(maxId) + 1, empty);
        else
            m_sparse.reserve(expected);
    }
    void clear()
    {
        m_dense.clear();
        m_sparse.clear();
    }
    T value(int id) const
    {
        if (inDense(id))
            return m_dense[size_t(id)];
        return m_sparse.value(id, m_empty);
    }
    // The entry for `id`, made (holding the empty value) when missing.
    T &operator[](int id)
    {
        if (inDense(id))
            return m_dense[size_t(id)];
        auto entry = m_sparse.find(id);
        if (entry == m_sparse.end())
            entry = m_sparse.insert(id, m_empty);
        return entry.value();
    }
    void remove(int id)
    {
        if (inDense(id))
            m_dense[size_t(id)] = m_empty;
        else
            m_sparse.remove(id);
    }

private:
    bool inDense(int id) const { return id >= 0 && size_t(id) < m_dense.size(); }

    std::vector<T> m_dense;
    QHash<int, T> m_sparse;
    T m_empty{};
};
