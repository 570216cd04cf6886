#include "repository/package_list.h"

#include "base/handles.h"
#include "base/list_stream.h"
#include "base/logger.h"
#include "base/xml_util.h"
#include "base/xml_walk.h"
#include "repository/metadata_namespaces.h"
#include "repository/package_parser.h"

namespace {

struct ListKind {
    const char* typeName;
    const char* root;
    const char* rootNamespace;
};

// Streams the list: only one package subtree is expanded at a time and skipped once read,
// so a list of thousands of packages never becomes a whole tree in memory.
ListResult readList(xmlTextReaderPtr reader, const ListKind& kind, PackageStore& packages,
                    const std::string& packagesDir, uint64_t maxRecordBytes, const std::string& path) {
    ArchFilter archFilter;
    bool overLimit = false;
    XmlElementHandler package{{"package", kCommonNamespace}};
    package.handle = [&](xmlNodePtr element) {
        // Expansion fails only on malformed XML, which the parser reports itself.
        if (!element) return false;
        Package read;
        const int accepted = parsePackage(element, read, packagesDir, archFilter);
        if (accepted < 0) return false;
        if (accepted > 0) packages.add(read);
        if (packages.full()) {
            LOG(Error, "the package records of %s file '%s' need more memory than the updater can address",
                kind.typeName, path.c_str());
            overLimit = true;
            return false;
        }
        if (packages.memoryBytes() > maxRecordBytes) {
            LOG(Error, "the package records of %s file '%s' need more than %llu bytes of memory (records-bytes)",
                kind.typeName, path.c_str(), static_cast<unsigned long long>(maxRecordBytes));
            overLimit = true;
            return false;
        }
        return true;
    };
    const bool walked = walkXmlDocument(reader, {{kind.root, kind.rootNamespace}}, {package});
    packages.sortNames();
    if (walked) return ListResult::Parsed;
    return overLimit ? ListResult::OverMemoryLimit : ListResult::Failed;
}

int readListStream(void* context, char* buffer, int size) {
    long count =
        static_cast<ListStream*>(context)->read(reinterpret_cast<unsigned char*>(buffer), static_cast<size_t>(size));
    return static_cast<int>(count);
}

}  // namespace

ListResult parseList(const std::string& path, int typeIndex, PackageStore& packages, const std::string& packagesDir,
                     uint64_t maxOpenBytes, const char* origin, uint64_t maxRecordBytes) {
    ListKind kind;
    if (typeIndex == kPrimaryList) {
        kind = {"primary", "metadata", kCommonNamespace};
    } else if (typeIndex == kTavdataList) {
        kind = {"tavdata", "tavdata", kTavNamespace};
    } else {
        LOG(Error, "invalid metadata type");
        return ListResult::Failed;
    }
    // The same decoding as the open checksum's: what was checked is what is parsed.
    ListStream stream;
    const bool opened = stream.open(path, maxOpenBytes, origin);
    XmlReaderPtr reader = opened ? openXmlReader(readListStream, &stream, path) : nullptr;
    if (!reader) {
        if (!opened && stream.fileOpened()) return ListResult::Failed;  // the stream has said why
        LOG(Error, "could not open %s file '%s' for parsing", kind.typeName, path.c_str());
        return ListResult::Failed;
    }
    return readList(reader.get(), kind, packages, packagesDir, maxRecordBytes, path);
}
