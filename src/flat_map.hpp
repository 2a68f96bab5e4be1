// A small ordered map kept as one sorted vector of entries that carry their
// own key (a result year knows its year, a stage its name), so the key is
// stored once: `KeyOf` reads it from the entry. Iteration follows the key
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

#include "budget.hpp"

namespace mirelo {

template <class V, class KeyOf, class Less = std::less<>>
class FlatMap {
public:
    using value_type = V;
    using iterator = typename budget::Vector<V>::iterator;
    using const_iterator = typename budget::Vector<V>::const_iterator;

    static decltype(auto) key_of(const V& entry) { return KeyOf{}(entry); }

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
        return (it != entries_.end() && !Less{}(key, key_of(*it))) ? &*it : nullptr;
    }
    template <class Key>
    const V* find(const Key& key) const {
        return const_cast<FlatMap*>(this)->find(key);
    }
    template <class Key>
    bool contains(const Key& key) const { return find(key) != nullptr; }

    // Stores `entry` under its own key, replacing an entry that was there.
    V& insert_or_assign(V entry) {
        if (entries_.empty() || Less{}(key_of(entries_.back()), key_of(entry))) {
            entries_.push_back(std::move(entry));
            return entries_.back();
        }
        auto it = lower(key_of(entry));
        if (it != entries_.end() && !Less{}(key_of(entry), key_of(*it))) {
            *it = std::move(entry);
            return *it;
        }
        return *entries_.insert(it, std::move(entry));
    }

    bool operator==(const FlatMap& other) const = default;

private:
    template <class Key>
    iterator lower(const Key& key) {
        return std::lower_bound(entries_.begin(), entries_.end(), key,
                                [](const V& e, const Key& k) { return Less{}(key_of(e), k); });
    }
    budget::Vector<V> entries_;  // charged to the call's memory budget
};

}  // namespace mirelo
