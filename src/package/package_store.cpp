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

void PackageStore::addEntries(const DependencySet& set, CompactDependency*& at) {
    for (const Dependency& dependency : set)
        *at++ = {m_strings.intern(dependency.name), internEvr(dependency.evr), dependency.flags};
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The bytes of lower-case hexadecimal text of even length, which prints back the same.
bool hexBytes(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 2 != 0) return false;
    bytes.resize(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int high = hexValue(text[2 * i]), low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<char>(high << 4 | low);
    }
    return true;
}

}  // namespace

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
    // A digest as bytes takes half the room of its text.
    std::string bytes;
    record.checksumBinary = hexBytes(package.checksum.value, bytes);
    record.checksumValue = m_strings.append(record.checksumBinary ? bytes : package.checksum.value);
    record.checksumType = m_strings.intern(package.checksum.type);
    record.evr = internEvr(package.evr);
    record.size = package.size;
    record.type = static_cast<uint8_t>(package.type);
    const DependencySet* sets[] = {&package.requires, &package.recommends, &package.provides, &package.obsoletes};
    size_t total = 0;
    for (size_t kind = 0; kind < 4; ++kind) {
        record.counts[kind] = static_cast<uint32_t>(sets[kind]->size());
        total += sets[kind]->size();
    }
    CompactDependency* at;
    record.largeRun = !m_entries.startRun(total);
    if (record.largeRun) {
        record.firstEntry = static_cast<uint32_t>(m_largeRuns.size());
        m_largeRuns.push_back(std::make_unique<CompactDependency[]>(total));
        m_largeRunBytes += total * sizeof(CompactDependency) + sizeof(void*);
        at = m_largeRuns.back().get();
    } else {
        record.firstEntry = static_cast<uint32_t>(m_entries.size());
        for (size_t i = 0; i < total; ++i) m_entries.push_back({});
        at = total ? &m_entries[record.firstEntry] : nullptr;
    }
    for (const DependencySet* set : sets) addEntries(*set, at);
    m_records.push_back(record);
    return static_cast<RecordId>(m_records.size() - 1);
}

PackageStore::Entries PackageStore::entries(RecordId id, DependencyKind kind) const {
    const Record& record = m_records[id];
    size_t total = 0;
    for (const uint32_t count : record.counts) total += count;
    const CompactDependency* first = nullptr;
    if (record.largeRun) {
        first = m_largeRuns[record.firstEntry].get();
    } else if (total != 0) {
        first = &m_entries[record.firstEntry];
    }
    for (size_t k = 0; k < static_cast<size_t>(kind); ++k) first += record.counts[k];
    return {first, first + record.counts[static_cast<size_t>(kind)]};
}

std::string PackageStore::checksumValue(RecordId id) const {
    const Record& record = m_records[id];
    const std::string_view held = m_strings.view(record.checksumValue);
    if (!record.checksumBinary) return std::string(held);
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(held.size() * 2);
    for (const char byte : held) {
        const auto value = static_cast<unsigned char>(byte);
        text.push_back(kDigits[value >> 4]);
        text.push_back(kDigits[value & 15]);
    }
    return text;
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

void PackageStore::fillSet(RecordId id, DependencyKind kind, DependencySet& set) const {
    // Stored in the set's order: every entry goes in at the end.
    for (const CompactDependency& entry : entries(id, kind)) set.emplace_hint(set.end(), dependency(entry));
}

Package PackageStore::package(RecordId id) const {
    const Record& record = m_records[id];
    Package package;
    package.name = std::string(m_strings.view(record.name));
    package.group = std::string(m_strings.view(record.group));
    package.arch = std::string(m_strings.view(record.arch));
    package.type = static_cast<PackageType>(record.type);
    const Evr& evr = m_evrs[record.evr];
    package.evr = {evr.epoch, std::string(m_strings.view(evr.version)), std::string(m_strings.view(evr.release))};
    fillSet(id, DependencyKind::Requires, package.requires);
    fillSet(id, DependencyKind::Recommends, package.recommends);
    fillSet(id, DependencyKind::Provides, package.provides);
    fillSet(id, DependencyKind::Obsoletes, package.obsoletes);
    package.href = std::string(m_strings.view(record.href));
    package.localPath = std::string(m_strings.view(record.localDir));
    if (!record.localPathWhole) package.localPath += lastPathComponent(package.href);
    package.checksum.value = checksumValue(id);
    package.checksum.type = std::string(m_strings.view(record.checksumType));
    package.size = record.size;
    return package;
}

PackageStore PackageStore::of(const PackageMap& packages) {
    PackageStore store;
    for (const auto& entry : packages) store.add(entry.second);
    store.sortNames();
    return store;
}

PackageMap PackageStore::wholeRecords() const {
    PackageMap packages;
    for (RecordId id = 0; id < size(); ++id) {
        Package package = this->package(id);
        std::string name = package.name;
        packages.emplace(std::move(name), std::move(package));
    }
    return packages;
}

void PackageStore::sortNames() {
    // The records by name id, ties in the order added; then the groups, each a run of that
    // array, by their text: far fewer string comparisons than sorting the records by name,
    // and no second copy of the array.
    m_byName.clear();
    m_byName.shrink_to_fit();
    m_byName.resize(m_records.size());
    std::iota(m_byName.begin(), m_byName.end(), RecordId{0});
    std::sort(m_byName.begin(), m_byName.end(), [this](RecordId a, RecordId b) {
        const StringPool::Id nameA = m_records[a].name, nameB = m_records[b].name;
        return nameA != nameB ? nameA < nameB : a < b;
    });
    size_t count = 0;
    for (size_t at = 0; at < m_byName.size(); ++at)
        if (at == 0 || m_records[m_byName[at]].name != m_records[m_byName[at - 1]].name) ++count;
    std::vector<NameGroup> groups;
    groups.reserve(count);
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
    return m_strings.memoryBytes() + m_records.memoryBytes() + m_entries.memoryBytes() + m_largeRunBytes +
           m_evrs.capacity() * sizeof(Evr) + m_evrSlots.capacity() * sizeof(uint32_t) +
           m_byName.capacity() * sizeof(RecordId) + m_groups.capacity() * sizeof(NameGroup);
}
