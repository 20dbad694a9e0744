#pragma once

#include <cassert>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace tallowin {

// The most recent `capacity` elements, oldest first. Once full, each append overwrites the
// oldest element, so a run of any length costs bounded memory. Storage is allocated once at
// creation and never reallocated.
template<typename T> class FixedRingBuffer {
public:
    explicit FixedRingBuffer(std::int64_t capacity)
        : m_capacity(capacity)
    {
        if (capacity < 1)
            throw std::invalid_argument("FixedRingBuffer capacity must be at least 1");
        m_storage.resize(static_cast<std::size_t>(capacity));
    }

    std::int64_t capacity() const { return m_capacity; }
    std::int64_t head() const { return m_head; }
    std::int64_t count() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }

    // Stores the element; returns the oldest element when the buffer was full and it was displaced.
    std::optional<T> append(T element)
    {
        auto tail = slot(m_count);
        std::optional<T> displaced;
        if (m_count == m_capacity)
            displaced = std::move(m_storage[tail]);
        m_storage[tail] = std::move(element);
        if (m_count != m_capacity)
            ++m_count;
        else
            m_head = (m_head + 1) % m_capacity;
        return displaced;
    }

    void removeAll()
    {
        for (std::int64_t i = 0; i < m_count; ++i)
            m_storage[slot(i)].reset();
        m_head = 0;
        m_count = 0;
    }

    std::vector<T> orderedElements() const
    {
        std::vector<T> elements;
        if (m_count < 1)
            return elements;
        elements.reserve(static_cast<std::size_t>(m_count));
        for (std::int64_t i = 0; i < m_count; ++i) {
            if (const auto& element = m_storage[slot(i)])
                elements.push_back(*element);
        }
        return elements;
    }

    // Slot access for tests of the layout.
    const std::optional<T>& storageSlot(std::int64_t index) const
    {
        return m_storage.at(static_cast<std::size_t>(index));
    }

private:
    std::size_t slot(std::int64_t offset) const
    {
        return static_cast<std::size_t>((m_head + offset) % m_capacity);
    }

    std::int64_t m_capacity;
    std::vector<std::optional<T>> m_storage;
    std::int64_t m_head { 0 };
    std::int64_t m_count { 0 };
};

}
