// The packages an update pass chooses for installation, one record per name, kept in
// compact form: the closure reads their entries in place, and a record is made whole only
// where the update run needs the whole of it.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/package.h"
#include "package/package_store.h"

class PackageSelection {
public:
    // Name to record of store(), names in byte order.
    using Names = std::map<std::string, PackageStore::RecordId, std::less<>>;
    // A name and its record, made whole.
    using Entry = std::pair<const std::string&, Package>;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Entry;

        const_iterator(const PackageSelection& selection, Names::const_iterator at)
            : m_selection(&selection), m_at(at) {}
        Entry operator*() const { return {m_at->first, m_selection->m_store.package(m_at->second)}; }
        // it->second.evr: the whole record lives as long as the expression.
        struct Arrow {
            Entry entry;
            const Entry* operator->() const { return &entry; }
        };
        Arrow operator->() const { return {**this}; }
        const_iterator& operator++() {
            ++m_at;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return m_at == other.m_at; }
        bool operator!=(const const_iterator& other) const { return m_at != other.m_at; }
        Names::const_iterator position() const { return m_at; }

    private:
        const PackageSelection* m_selection;
        Names::const_iterator m_at;
    };

    PackageSelection() = default;
    // Each package under the name given with it (the first of a name stays).
    PackageSelection(std::initializer_list<std::pair<std::string, Package>> packages);
    PackageSelection(const PackageSelection&) = delete;
    PackageSelection& operator=(const PackageSelection&) = delete;
    PackageSelection(PackageSelection&&) = default;
    PackageSelection& operator=(PackageSelection&&) = default;

    // Adds the package under the name unless the name is taken: the iterator points at the
    // name's record, the flag tells whether it was added.
    std::pair<const_iterator, bool> emplace(const std::string& name, const Package& package);
    // The same for a record of another store.
    std::pair<const_iterator, bool> emplace(const std::string& name, const PackageStore& from,
                                            PackageStore::RecordId record);
    size_t erase(std::string_view name);
    const_iterator erase(const_iterator at);

    size_t size() const { return m_names.size(); }
    bool empty() const { return m_names.empty(); }
    size_t count(std::string_view name) const { return m_names.count(name); }
    const_iterator find(std::string_view name) const { return {*this, m_names.find(name)}; }
    const_iterator begin() const { return {*this, m_names.begin()}; }
    const_iterator end() const { return {*this, m_names.end()}; }
    // Every selected record, whole, by name.
    std::map<std::string, Package> wholeRecords() const;

    // The selected names whose records were added after the store's first `since` records,
    // in the order added: what a closure round has not taken in yet.
    std::vector<Names::const_iterator> addedSince(size_t since) const;

    // The compact view: names to records of the store.
    const Names& names() const { return m_names; }
    const PackageStore& store() const { return m_store; }

private:
    // Records dropped from the selection stay in the store; it only grows.
    PackageStore m_store;
    Names m_names;
};
