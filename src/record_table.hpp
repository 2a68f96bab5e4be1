// A table of records keyed by combined id. It iterates in the order in which
// keys were first stored, whatever the hashing, so every walk over a table
// (and every output that follows it) is the same from call to call. A record
// stored again under the same key replaces the earlier one in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace mirelo {

template <class T>
class RecordTable {
public:
    using const_iterator = typename std::vector<T>::const_iterator;

    void insert(T record) {
        uint64_t key = record.link.combined_id;
        auto [it, fresh] = index_.try_emplace(key, records_.size());
        if (fresh) records_.push_back(std::move(record));
        else records_[it->second] = std::move(record);
    }
    const T* find(uint64_t combined_id) const {
        auto it = index_.find(combined_id);
        return it == index_.end() ? nullptr : &records_[it->second];
    }
    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }
    const T& operator[](size_t position) const { return records_[position]; }

private:
    std::vector<T> records_;
    std::unordered_map<uint64_t, size_t> index_;
};

}  // namespace mirelo
