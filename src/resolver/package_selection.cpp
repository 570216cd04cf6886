#include "resolver/package_selection.h"

PackageSelection::PackageSelection(std::initializer_list<std::pair<std::string, Package>> packages) {
    for (const auto& [name, package] : packages) emplace(name, package);
}

std::pair<PackageSelection::const_iterator, bool> PackageSelection::emplace(const std::string& name,
                                                                            const Package& package) {
    const auto found = m_names.find(name);
    if (found != m_names.end()) return {{*this, found}, false};
    return {{*this, m_names.emplace(name, m_store.add(package)).first}, true};
}

std::pair<PackageSelection::const_iterator, bool> PackageSelection::emplace(const std::string& name,
                                                                            const PackageStore& from,
                                                                            PackageStore::RecordId record) {
    const auto found = m_names.find(name);
    if (found != m_names.end()) return {{*this, found}, false};
    return {{*this, m_names.emplace(name, m_store.add(from.package(record))).first}, true};
}

size_t PackageSelection::erase(std::string_view name) {
    const auto found = m_names.find(name);
    if (found == m_names.end()) return 0;
    m_names.erase(found);
    return 1;
}

PackageSelection::const_iterator PackageSelection::erase(const_iterator at) {
    return {*this, m_names.erase(at.position())};
}

std::map<std::string, Package> PackageSelection::wholeRecords() const {
    std::map<std::string, Package> records;
    for (const auto& [name, record] : m_names) records.emplace(name, m_store.package(record));
    return records;
}

std::vector<PackageSelection::Names::const_iterator> PackageSelection::addedSince(size_t since) const {
    std::vector<Names::const_iterator> added;
    for (auto record = static_cast<PackageStore::RecordId>(since); record < m_store.size(); ++record) {
        // A record dropped from the selection, or replaced under its name, is not selected.
        const auto found = m_names.find(m_store.name(record));
        if (found != m_names.end() && found->second == record) added.push_back(found);
    }
    return added;
}
