// The records of a package list in compact form: every text interned once in a string pool,
// versions interned once, the dependencies of all records in one array of small integers.
// A record costs a few dozen bytes plus twelve per dependency, where the full Package costs
// a tree node and several strings per dependency. Records are made whole again on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "package/chunked_array.h"
#include "package/dependency.h"
#include "package/package.h"
#include "package/string_pool.h"

// One dependency entry: capability name and version as ids of the store that holds it.
struct CompactDependency {
    StringPool::Id name;
    uint32_t evr;  // 0: no version
    int32_t flags;
};

enum class DependencyKind : uint8_t { Requires = 0, Recommends = 1, Provides = 2, Obsoletes = 3 };

class PackageStore {
public:
    using RecordId = uint32_t;

    // The entries of one kind of one record, in the order of their DependencySet.
    struct Entries {
        const CompactDependency* first;
        const CompactDependency* last;
        const CompactDependency* begin() const { return first; }
        const CompactDependency* end() const { return last; }
        size_t size() const { return static_cast<size_t>(last - first); }
    };

    PackageStore();
    PackageStore(const PackageStore&) = delete;
    PackageStore& operator=(const PackageStore&) = delete;
    PackageStore(PackageStore&&) = default;
    PackageStore& operator=(PackageStore&&) = default;

    // The records of one name, names in byte order.
    struct NameGroup {
        StringPool::Id name;
        uint32_t first;  // in recordsByName()
        uint32_t count;
    };

    RecordId add(const Package& package);
    // A store of the map's records in the map's order, names sorted.
    static PackageStore of(const PackageMap& packages);
    // Orders the names of the records added so far for names() and findGroup(); call it
    // after the last add.
    void sortNames();
    const std::vector<NameGroup>& names() const { return m_groups; }
    // The records of each group, in the order they were added.
    const RecordId* recordsOf(const NameGroup& group) const { return m_byName.data() + group.first; }
    // The group of records named so, null when there is none.
    const NameGroup* findGroup(std::string_view name) const;

    // The record as it was added.
    Package package(RecordId id) const;
    // Every record whole, by name, several of one name in the order added: for lists small
    // enough to be kept whole.
    PackageMap wholeRecords() const;
    size_t size() const { return m_records.size(); }

    std::string_view name(RecordId id) const { return m_strings.view(m_records[id].name); }
    StringPool::Id nameId(RecordId id) const { return m_records[id].name; }
    PackageType type(RecordId id) const { return static_cast<PackageType>(m_records[id].type); }
    EvrView evr(RecordId id) const { return evrView(m_records[id].evr); }
    std::string_view group(RecordId id) const { return m_strings.view(m_records[id].group); }
    std::string_view href(RecordId id) const { return m_strings.view(m_records[id].href); }
    // The checksum's value as the list gives it.
    std::string checksumValue(RecordId id) const;
    // packageLabel of the record.
    std::string label(RecordId id) const;
    Entries entries(RecordId id, DependencyKind kind) const;

    // The id of a capability or package name in this store, kEmpty when no record names it.
    StringPool::Id findName(std::string_view name) const { return m_strings.find(name); }
    std::string_view text(StringPool::Id id) const { return m_strings.view(id); }
    EvrView evrView(uint32_t evr) const;
    // Dependency::matches over compact entries of this store.
    bool matches(const CompactDependency& a, const CompactDependency& b) const;
    DependencyView view(const CompactDependency& entry) const {
        return {m_strings.view(entry.name), evrView(entry.evr), entry.flags};
    }
    Dependency dependency(const CompactDependency& entry) const;

    // Bytes held by the records, the entries, the versions and the strings.
    size_t memoryBytes() const;
    // Whether a record could not be kept whole: the strings' addresses ran out (4 GiB of text).
    bool full() const { return m_strings.full(); }

private:
    struct Record {
        StringPool::Id name, group, arch, href, localDir, checksumValue, checksumType;
        uint32_t evr;
        uint32_t firstEntry;  // in m_entries, or in m_largeRuns; the kinds follow each other
        uint32_t counts[4];   // entries per DependencyKind
        uint8_t type;         // PackageType
        bool localPathWhole;  // localDir is the whole local path, not its directory
        bool checksumBinary;  // checksumValue holds the bytes of lower-case hexadecimal text
        bool largeRun;        // more entries than a block of m_entries holds
        uint64_t size;
    };
    struct Evr {
        uint32_t epoch;
        StringPool::Id version, release;
    };

    uint32_t internEvr(const EVR& evr);
    void growEvrSlots();
    void addEntries(const DependencySet& set, CompactDependency*& at);
    void fillSet(RecordId id, DependencyKind kind, DependencySet& set) const;

    StringPool m_strings;
    ChunkedArray<Record, 10> m_records;
    ChunkedArray<CompactDependency, 14> m_entries;
    std::vector<std::unique_ptr<CompactDependency[]>> m_largeRuns;
    size_t m_largeRunBytes = 0;
    std::vector<Evr> m_evrs;           // index 0: no version
    std::vector<uint32_t> m_evrSlots;  // open addressing over m_evrs; 0 marks a free slot
    std::vector<RecordId> m_byName;
    std::vector<NameGroup> m_groups;
};
