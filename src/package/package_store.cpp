#include "package/package_store.h"

#include <algorithm>
#include <functional>
#include <numeric>

#include "base/util.h"

namespace {

size_t hashEvr(uint32_t epoch, StringPool::Id version, StringPool::Id release) {
    const uint64_t mixed = (uint64_t{version} << 32 | release) * 0x9E3779B97F4A7C15ULL ^ epoch;
    return std::hash<uint64_t>{}(mixed);
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

PackageStore::PackageStore() : m_evrs{{0, StringPool::kEmpty, StringPool::kEmpty}}, m_evrSlots(64, 0) {}

uint32_t PackageStore::internEvr(const EVR& evr) {
    if (evr.version.empty() && evr.release.empty() && evr.epoch == 0) return 0;
    const Evr wanted{evr.epoch, m_strings.intern(evr.version), m_strings.intern(evr.release)};
    const size_t mask = m_evrSlots.size() - 1;
    size_t slot = hashEvr(wanted.epoch, wanted.version, wanted.release) & mask;
    for (; m_evrSlots[slot] != 0; slot = (slot + 1) & mask) {
        const Evr& held = m_evrs[m_evrSlots[slot]];
        if (held.epoch == wanted.epoch && held.version == wanted.version && held.release == wanted.release) {
            return m_evrSlots[slot];
        }
    }
    m_evrs.push_back(wanted);
    const auto id = static_cast<uint32_t>(m_evrs.size() - 1);
    m_evrSlots[slot] = id;
    if (m_evrs.size() * 2 > m_evrSlots.size()) growEvrSlots();
    return id;
}

void PackageStore::growEvrSlots() {
    std::vector<uint32_t> slots(m_evrSlots.size() * 2, 0);
    const size_t mask = slots.size() - 1;
    for (uint32_t id = 1; id < m_evrs.size(); ++id) {
        const Evr& evr = m_evrs[id];
        size_t slot = hashEvr(evr.epoch, evr.version, evr.release) & mask;
        while (slots[slot] != 0) slot = (slot + 1) & mask;
        slots[slot] = id;
    }
    m_evrSlots.swap(slots);
}

void PackageStore::addEntries(const DependencySet& set) {
    for (const Dependency& dependency : set) {
        m_entries.push_back({m_strings.intern(dependency.name), internEvr(dependency.evr), dependency.flags});
    }
}

PackageStore::RecordId PackageStore::add(const Package& package) {
    Record record{};
    record.name = m_strings.intern(package.name);
    record.group = m_strings.intern(package.group);
    record.arch = m_strings.intern(package.arch);
    record.href = m_strings.append(package.href);
    // The local path is the cache directory, the same for every record, and the file name.
    const std::string fileName = lastPathComponent(package.href);
    record.localPathWhole = !fileName.empty() ? !endsWith(package.localPath, fileName) : true;
    record.localDir = record.localPathWhole
                          ? m_strings.append(package.localPath)
                          : m_strings.intern(package.localPath.substr(0, package.localPath.size() - fileName.size()));
    record.checksumValue = m_strings.append(package.checksum.value);
    record.checksumType = m_strings.intern(package.checksum.type);
    record.evr = internEvr(package.evr);
    record.size = package.size;
    record.type = package.type;
    record.firstEntry = static_cast<uint32_t>(m_entries.size());
    const DependencySet* sets[] = {&package.requires, &package.recommends, &package.provides, &package.obsoletes};
    for (size_t kind = 0; kind < 4; ++kind) {
        addEntries(*sets[kind]);
        record.counts[kind] = static_cast<uint32_t>(sets[kind]->size());
    }
    m_records.push_back(record);
    return static_cast<RecordId>(m_records.size() - 1);
}

PackageStore::Entries PackageStore::entries(RecordId id, DependencyKind kind) const {
    const Record& record = m_records[id];
    const CompactDependency* first = m_entries.data() + record.firstEntry;
    for (size_t k = 0; k < static_cast<size_t>(kind); ++k) first += record.counts[k];
    return {first, first + record.counts[static_cast<size_t>(kind)]};
}

EvrView PackageStore::evrView(uint32_t evr) const {
    const Evr& held = m_evrs[evr];
    return {held.epoch, m_strings.c_str(held.version), m_strings.c_str(held.release)};
}

bool PackageStore::matches(const CompactDependency& a, const CompactDependency& b) const {
    return a.name == b.name && constraintsOverlap(evrView(a.evr), a.flags, evrView(b.evr), b.flags);
}

Dependency PackageStore::dependency(const CompactDependency& entry) const {
    const Evr& held = m_evrs[entry.evr];
    EVR evr{held.epoch, std::string(m_strings.view(held.version)), std::string(m_strings.view(held.release))};
    return Dependency(std::string(m_strings.view(entry.name)), std::move(evr), entry.flags);
}

void PackageStore::fillSet(const Record& record, DependencyKind kind, DependencySet& set) const {
    const RecordId id = static_cast<RecordId>(&record - m_records.data());
    // Stored in the set's order: every entry goes in at the end.
    for (const CompactDependency& entry : entries(id, kind)) set.emplace_hint(set.end(), dependency(entry));
}

Package PackageStore::package(RecordId id) const {
    const Record& record = m_records[id];
    Package package;
    package.name = std::string(m_strings.view(record.name));
    package.group = std::string(m_strings.view(record.group));
    package.arch = std::string(m_strings.view(record.arch));
    package.type = record.type;
    const Evr& evr = m_evrs[record.evr];
    package.evr = {evr.epoch, std::string(m_strings.view(evr.version)), std::string(m_strings.view(evr.release))};
    fillSet(record, DependencyKind::Requires, package.requires);
    fillSet(record, DependencyKind::Recommends, package.recommends);
    fillSet(record, DependencyKind::Provides, package.provides);
    fillSet(record, DependencyKind::Obsoletes, package.obsoletes);
    package.href = std::string(m_strings.view(record.href));
    package.localPath = std::string(m_strings.view(record.localDir));
    if (!record.localPathWhole) package.localPath += lastPathComponent(package.href);
    package.checksum.value = std::string(m_strings.view(record.checksumValue));
    package.checksum.type = std::string(m_strings.view(record.checksumType));
    package.size = record.size;
    return package;
}

void PackageStore::sortNames() {
    // By name id first, which keeps the records of a name in the order added, then the
    // groups by their text: far fewer string comparisons than sorting the records by name.
    m_byName.resize(m_records.size());
    std::iota(m_byName.begin(), m_byName.end(), RecordId{0});
    std::stable_sort(m_byName.begin(), m_byName.end(),
                     [this](RecordId a, RecordId b) { return m_records[a].name < m_records[b].name; });
    std::vector<NameGroup> groups;
    for (uint32_t at = 0; at < m_byName.size();) {
        const StringPool::Id name = m_records[m_byName[at]].name;
        uint32_t end = at + 1;
        while (end < m_byName.size() && m_records[m_byName[end]].name == name) ++end;
        groups.push_back({name, at, end - at});
        at = end;
    }
    std::sort(groups.begin(), groups.end(), [this](const NameGroup& a, const NameGroup& b) {
        return m_strings.view(a.name) < m_strings.view(b.name);
    });
    std::vector<RecordId> ordered;
    ordered.reserve(m_byName.size());
    for (NameGroup& group : groups) {
        const auto first = static_cast<uint32_t>(ordered.size());
        ordered.insert(ordered.end(), m_byName.begin() + group.first, m_byName.begin() + group.first + group.count);
        group.first = first;
    }
    m_byName.swap(ordered);
    m_groups.swap(groups);
}

const PackageStore::NameGroup* PackageStore::findGroup(std::string_view name) const {
    const auto found = std::lower_bound(
        m_groups.begin(), m_groups.end(), name,
        [this](const NameGroup& group, std::string_view text) { return m_strings.view(group.name) < text; });
    if (found == m_groups.end() || m_strings.view(found->name) != name) return nullptr;
    return &*found;
}

std::string PackageStore::label(RecordId id) const {
    return std::string(name(id)) + "-" + evrText(evr(id));
}

size_t PackageStore::memoryBytes() const {
    return m_strings.memoryBytes() + m_records.capacity() * sizeof(Record) +
           m_entries.capacity() * sizeof(CompactDependency) + m_evrs.capacity() * sizeof(Evr) +
           m_evrSlots.capacity() * sizeof(uint32_t) + m_byName.capacity() * sizeof(RecordId) +
           m_groups.capacity() * sizeof(NameGroup);
}
