#include "base/run_report.h"

#include <cerrno>
#include <cinttypes>
#include <memory>
#include <set>
#include <tuple>
#include <utility>

#include <json-c/json.h>

#include "base/durable_file.h"
#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"

namespace {

// json-c's objects are reference-counted: the owner drops its reference.
using JsonPtr = std::unique_ptr<json_object, CFree<json_object_put>>;

double monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Adds value to object under key; json-c takes over the reference.
void put(json_object* object, const char* key, json_object* value) {
    json_object_object_add(object, key, value);
}

json_object* text(const std::string& value) {
    return json_object_new_string_len(value.data(), static_cast<int>(value.size()));
}

json_object* number(uint64_t value) {
    return json_object_new_uint64(value);
}

constexpr int kRenderFlags = JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE;

json_object* packageObject(const ReportedPackage& package) {
    json_object* item = json_object_new_object();
    put(item, "name", text(package.name));
    put(item, "epoch", number(package.epoch));
    put(item, "version", text(package.version));
    put(item, "release", text(package.release));
    put(item, "arch", text(package.arch));
    put(item, "type", text(package.type));
    return item;
}

// Stands for a package list in the document until its text replaces it.
const std::string kListMark = "\x01";

// The document with the mark under key (a key of the top level) replaced by the list.
void spliceList(std::string& document, const char* key, const std::string& list) {
    const std::string quotedKey = std::string("\n  \"") + key + "\": ";
    const std::string mark = quotedKey + "\"\\u0001\"";
    const size_t at = document.find(mark);
    if (at != std::string::npos) document.replace(at + quotedKey.size(), mark.size() - quotedKey.size(), list);
}

// Details come from servers and files: what is not printable ASCII becomes '?', so the
// document stays valid UTF-8 whatever they held.
std::string printable(const std::string& detail) {
    std::string result = detail;
    for (char& c : result) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\n' && c != '\t') || byte >= 0x7f) c = '?';
    }
    return result;
}

}  // namespace

std::string packageListJson(const std::vector<ReportedPackage>& packages, int depth) {
    // json-c indents two spaces a level; an object rendered alone starts at level 0.
    const std::string outer(2 * static_cast<size_t>(depth), ' ');
    const std::string inner = outer + "  ";
    std::string list = "[";
    for (size_t i = 0; i < packages.size(); ++i) {
        const JsonPtr item(packageObject(packages[i]));
        const char* rendered = json_object_to_json_string_ext(item.get(), kRenderFlags);
        if (i > 0) list += ',';
        list += '\n';
        list += inner;
        for (const char* at = rendered ? rendered : "{}"; *at != '\0'; ++at) {
            list += *at;
            if (*at == '\n') list += inner;  // strings never hold a raw newline: json-c escapes it
        }
    }
    list += '\n';
    list += outer;
    list += ']';
    return list;
}

const char* refusalCode(Refusal reason) {
    switch (reason) {
        case Refusal::Checksum:
            return "checksum";
        case Refusal::Signature:
            return "signature";
        case Refusal::SignatureExpired:
            return "signature-expired";
        case Refusal::PackageSignature:
            return "package-signature";
        case Refusal::SizeLimit:
            return "size-limit";
        case Refusal::Stall:
            return "stall";
        case Refusal::Deadline:
            return "deadline";
        case Refusal::Downgrade:
            return "https-downgrade";
        case Refusal::Rollback:
            return "rollback";
        case Refusal::MaxAge:
            return "max-age";
        case Refusal::Metadata:
            return "metadata";
        case Refusal::Download:
            return "download";
        case Refusal::UnsatisfiedDependency:
            return "unsatisfied-dependency";
        case Refusal::NewerUpdaterRequired:
            return "newer-updater-required";
        case Refusal::Install:
            return "install";
        case Refusal::Hook:
            return "hook";
        case Refusal::CorruptedSystem:
            return "corrupted-system";
        case Refusal::Database:
            return "database";
        case Refusal::MemoryLimit:
            return "memory-limit";
    }
    return "unknown";
}

std::string utcTimestamp(int64_t seconds) {
    const time_t value = static_cast<time_t>(seconds);
    tm parts{};
    char buffer[32];
    if (!gmtime_r(&value, &parts) || strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) return "";
    return buffer;
}

RunReport& RunReport::instance() {
    static RunReport report;
    return report;
}

void RunReport::begin(const std::string& mode) {
    m_begun = true;
    m_mode = mode;
    m_startWall = time(nullptr);
    m_startMonotonic = monotonicNow();
}

void RunReport::setRepository(const std::string& id, const std::string& uri) {
    m_repositoryId = id;
    m_repositoryUri = uri;
}

void RunReport::setIndex(const std::string& sha256, const std::string& revision, int64_t signingTime) {
    m_hasIndex = true;
    m_indexSha256 = sha256;
    m_indexRevision = revision;
    m_indexSigningTime = signingTime;
}

void RunReport::addPass(const std::string& name, const std::string& result) {
    m_passes.push_back({name, result});
}

namespace {

auto packageKey(const ReportedPackage& package) {
    return std::tie(package.name, package.epoch, package.version, package.release, package.arch, package.type);
}

}  // namespace

void RunReport::addChosen(const std::vector<ReportedPackage>& packages) {
    // Listed once, in the order first chosen; an index by value keeps thousands of packages
    // from being compared with each other.
    const auto byValue = [this](size_t a, size_t b) { return packageKey(m_chosen[a]) < packageKey(m_chosen[b]); };
    std::set<size_t, decltype(byValue)> listed(byValue);
    for (size_t i = 0; i < m_chosen.size(); ++i) listed.insert(i);
    m_chosen.reserve(m_chosen.size() + packages.size());
    for (const ReportedPackage& package : packages) {
        m_chosen.push_back(package);
        if (!listed.insert(m_chosen.size() - 1).second) m_chosen.pop_back();
    }
}

void RunReport::addInstalled(const std::vector<ReportedPackage>& packages) {
    m_installed.insert(m_installed.end(), packages.begin(), packages.end());
}

void RunReport::refuse(Refusal reason, const std::string& detail) {
    m_refusals.push_back({refusalCode(reason), printable(detail)});
}

void RunReport::addBytes(uint64_t expected, uint64_t received, uint64_t resumed, uint64_t discarded) {
    m_bytesExpected += expected;
    m_bytesReceived += received;
    m_bytesResumed += resumed;
    m_bytesDiscarded += discarded;
}

std::string RunReport::toJson(int exitStatus, const char* exitWord) const {
    JsonPtr root(json_object_new_object());
    json_object* document = root.get();
    put(document, "schema", json_object_new_int(kSchemaVersion));
    put(document, "mode", text(m_mode));
    put(document, "start", text(utcTimestamp(m_startWall)));
    put(document, "end", text(utcTimestamp(time(nullptr))));
    put(document, "duration_seconds", json_object_new_double(monotonicNow() - m_startMonotonic));
    json_object* exit = json_object_new_object();
    put(exit, "status", json_object_new_int(exitStatus));
    put(exit, "word", text(exitWord));
    put(document, "exit", exit);

    json_object* passes = json_object_new_array();
    for (const Pass& pass : m_passes) {
        json_object* item = json_object_new_object();
        put(item, "name", text(pass.name));
        put(item, "result", text(pass.result));
        json_object_array_add(passes, item);
    }
    put(document, "passes", passes);

    json_object* repository = json_object_new_object();
    put(repository, "id", text(m_repositoryId));
    put(repository, "uri", text(m_repositoryUri));
    json_object* index = nullptr;
    if (m_hasIndex) {
        index = json_object_new_object();
        put(index, "sha256", text(m_indexSha256));
        put(index, "revision", m_indexRevision.empty() ? nullptr : text(m_indexRevision));
        put(index, "signed", m_indexSigningTime ? text(utcTimestamp(m_indexSigningTime)) : nullptr);
    }
    put(repository, "index", index);
    put(document, "repository", repository);

    // The lists are rendered one package at a time: a tree of them all would cost about a
    // kilobyte a package (every json-c object has its own hash table), thousands on a device.
    put(document, "chosen", text(kListMark));
    put(document, "installed", text(kListMark));
    json_object* refusals = json_object_new_array();
    for (const Refused& refused : m_refusals) {
        json_object* item = json_object_new_object();
        put(item, "reason", text(refused.reason));
        put(item, "detail", text(refused.detail));
        json_object_array_add(refusals, item);
    }
    put(document, "refusals", refusals);

    json_object* bytes = json_object_new_object();
    put(bytes, "expected", number(m_bytesExpected));
    put(bytes, "received", number(m_bytesReceived));
    put(bytes, "resumed", number(m_bytesResumed));
    put(bytes, "discarded", number(m_bytesDiscarded));
    put(document, "bytes", bytes);
    put(document, "reboot_requested", json_object_new_boolean(m_rebootRequested));

    const char* rendered = json_object_to_json_string_ext(document, kRenderFlags);
    if (rendered == nullptr) return "{}\n";
    std::string result(rendered);
    root.reset();
    spliceList(result, "chosen", packageListJson(m_chosen, 1));
    spliceList(result, "installed", packageListJson(m_installed, 1));
    return result + "\n";
}

void RunReport::write(const std::string& path, int exitStatus, const char* exitWord) const {
    const std::string document = toJson(exitStatus, exitWord);
    if (replaceFileDurably(path, document, 0644, true) != ReplaceStep::Done)
        LOG(Warn, "failed writing run report '%s' (%s)", path.c_str(), errnoText().c_str());
}
