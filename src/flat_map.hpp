// A small ordered map kept as one sorted vector: iteration follows the key
// order (so every output built from it is byte-stable), lookups are binary
// searches, and appending keys in ascending order costs no shifting. The
// result maps hold a handful to a hundred entries, where this beats a tree
// or a hash table in both time and memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace mirelo {

template <class K, class V, class Less = std::less<>>
class FlatMap {
public:
    using value_type = std::pair<K, V>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void reserve(size_t n) { entries_.reserve(n); }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }

    template <class Key>
    V* find(const Key& key) {
        auto it = lower(key);
        return (it != entries_.end() && !Less{}(key, it->first)) ? &it->second : nullptr;
    }
    template <class Key>
    const V* find(const Key& key) const {
        return const_cast<FlatMap*>(this)->find(key);
    }
    template <class Key>
    bool contains(const Key& key) const { return find(key) != nullptr; }

    // Stores `value` under `key`, replacing an entry that was there.
    V& insert_or_assign(K key, V value) {
        if (entries_.empty() || Less{}(entries_.back().first, key)) {
            entries_.emplace_back(std::move(key), std::move(value));
            return entries_.back().second;
        }
        auto it = lower(key);
        if (it != entries_.end() && !Less{}(key, it->first)) {
            it->second = std::move(value);
            return it->second;
        }
        return entries_.emplace(it, std::move(key), std::move(value))->second;
    }

    bool operator==(const FlatMap& other) const = default;

private:
    template <class Key>
    iterator lower(const Key& key) {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const value_type& e, const Key& k) { return Less{}(e.first, k); });
    }
    std::vector<value_type> entries_;
};

}  // namespace mirelo
