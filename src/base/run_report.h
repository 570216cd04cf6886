// What one run did, for the device's operators: filled as the run goes by whichever part of
// the updater learns something (the index it accepted, what it chose and installed, why it
// refused, the bytes it moved), and written at the end of the run as a JSON document,
// /var/lib/updater/last-run.json, whose fields are an interface (updater(8)).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// Why something was refused; the words are stable codes in the report.
enum class Refusal {
    Checksum,               // a file did not match its published checksum
    Signature,              // the index signature did not verify
    SignatureExpired,       // the index signature has expired
    PackageSignature,       // a package signature did not verify
    SizeLimit,              // a download exceeded its declared size or configured limit
    Stall,                  // a transfer stayed below the rate floor
    Deadline,               // a download took longer than the time allowed
    Downgrade,              // a redirect would have left https
    Rollback,               // the index was signed before the last accepted one
    MaxAge,                 // the index signature is older than the configured maximum age
    Metadata,               // the index or a list could not be fetched or read
    Download,               // a package could not be fetched
    UnsatisfiedDependency,  // an update needs what neither the device nor the repository has
    NewerUpdaterRequired,   // the update needs the updater itself updated first
    Install,                // rpm or the payload installer failed
    Hook,                   // the device's hook refused a step
    CorruptedSystem,        // an interrupted or incomplete installation was found
    Database,               // the rpm database could not be read
    MemoryLimit,            // the repository's lists need more memory than the device allows
};
const char* refusalCode(Refusal reason);

struct ReportedPackage {
    std::string name;
    uint32_t epoch = 0;
    std::string version;
    std::string release;
    std::string arch;
    std::string type;  // "rpm", "tavpkg", "flashedfw"
};

// A package list as the report renders it (json-c's pretty form) at this depth of the
// document; the report renders its lists one package at a time with it.
std::string packageListJson(const std::vector<ReportedPackage>& packages, int depth);

class RunReport {
public:
    static constexpr int kSchemaVersion = 1;

    static RunReport& instance();

    // The run took the lock: from now on its report is written at the end.
    void begin(const std::string& mode);
    bool begun() const { return m_begun; }

    void setRepository(const std::string& id, const std::string& uri);
    // The index accepted; signingTime 0 when unknown (signatures off).
    void setIndex(const std::string& sha256, const std::string& revision, int64_t signingTime);
    void addPass(const std::string& name, const std::string& result);
    // Packages already listed are not listed again: later passes choose among the same.
    void addChosen(const std::vector<ReportedPackage>& packages);
    void addInstalled(const std::vector<ReportedPackage>& packages);
    void refuse(Refusal reason, const std::string& detail);
    void addBytes(uint64_t expected, uint64_t received, uint64_t resumed, uint64_t discarded);
    void setRebootRequested() { m_rebootRequested = true; }

    // The document, with the exit status and its word.
    std::string toJson(int exitStatus, const char* exitWord) const;
    // Replaces path durably with the document. A failure is a warning: the run's outcome
    // does not depend on its report.
    void write(const std::string& path, int exitStatus, const char* exitWord) const;

    // Forgets everything, for tests.
    void reset() { *this = RunReport(); }

    struct Pass {
        std::string name;
        std::string result;
    };
    struct Refused {
        std::string reason;
        std::string detail;
    };

private:
    bool m_begun = false;
    std::string m_mode;
    time_t m_startWall = 0;
    double m_startMonotonic = 0;
    std::string m_repositoryId;
    std::string m_repositoryUri;
    bool m_hasIndex = false;
    std::string m_indexSha256;
    std::string m_indexRevision;
    int64_t m_indexSigningTime = 0;
    std::vector<Pass> m_passes;
    std::vector<ReportedPackage> m_chosen;
    std::vector<ReportedPackage> m_installed;
    std::vector<Refused> m_refusals;
    uint64_t m_bytesExpected = 0;
    uint64_t m_bytesReceived = 0;
    uint64_t m_bytesResumed = 0;
    uint64_t m_bytesDiscarded = 0;
    bool m_rebootRequested = false;
};

// "2026-12-09T05:00:00Z".
std::string utcTimestamp(int64_t seconds);
