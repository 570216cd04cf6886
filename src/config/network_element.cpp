// The `<network>` element: byte limits, the rate floor, the deadline of one file and resuming.
//
//     <network>
//       <limits index-bytes="1048576" signature-bytes="65536" list-bytes="268435456"
//               package-bytes="1073741824" records-bytes="134217728"/>
//       <stall bytes-per-second="1000" seconds="60"/>
//       <deadline seconds="300" bytes-per-second="4096"/>
//       <resume enabled="true"/>
//     </network>
//
// Every attribute is optional; a value that is not a positive decimal number fails the file.

#include "base/logger.h"
#include "base/util.h"
#include "base/xml_util.h"
#include "config/config_elements.h"

namespace {

// An absent attribute keeps the value; a present one must be valid.
template <class T>
bool readNumber(xmlNodePtr element, const char* name, T& target, uint64_t maximum) {
    XmlStringPtr text(xmlGetNoNsProp(element, BAD_CAST name));
    if (!text) return true;
    const std::string value = reinterpret_cast<const char*>(text.get());
    uint64_t parsed = 0;
    if (!parsePositiveDecimal(value, parsed) || parsed > maximum) {
        LOG(Error, "invalid value '%s' of attribute '%s' in element '%s' (line %li)", value.c_str(), name,
            xmlName(element), static_cast<long>(xmlGetLineNo(element)));
        return false;
    }
    target = static_cast<T>(parsed);
    return true;
}

constexpr uint64_t kMaxBytes = UINT64_MAX;
constexpr uint64_t kMaxSeconds = 7 * 24 * 3600;

bool applyLimits(TransferPolicy& policy, xmlNodePtr element) {
    return readNumber(element, "index-bytes", policy.indexMaxBytes, kMaxBytes) &&
           readNumber(element, "signature-bytes", policy.signatureMaxBytes, kMaxBytes) &&
           readNumber(element, "list-bytes", policy.undeclaredListMaxBytes, kMaxBytes) &&
           readNumber(element, "package-bytes", policy.undeclaredPackageMaxBytes, kMaxBytes) &&
           readNumber(element, "records-bytes", policy.recordsMaxBytes, kMaxBytes);
}

bool applyResume(TransferPolicy& policy, xmlNodePtr element) {
    std::string enabled;
    if (!getXmlAttribute(element, "enabled", enabled)) return true;
    if (enabled != "true" && enabled != "false") {
        LOG(Error, "invalid value '%s' of attribute '%s' in element '%s' (line %li)", enabled.c_str(), "enabled",
            xmlName(element), static_cast<long>(xmlGetLineNo(element)));
        return false;
    }
    policy.resume = enabled == "true";
    return true;
}

}  // namespace

bool applyNetworkElement(UpdaterConfig& config, xmlNodePtr element) {
    TransferPolicy& policy = config.fetcher.transfer;
    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (!isChildElement(child, element)) continue;
        bool valid = true;
        if (xmlNameIs(child, "limits")) {
            valid = applyLimits(policy, child);
        } else if (xmlNameIs(child, "stall")) {
            valid = readNumber(child, "bytes-per-second", policy.stallBytesPerSecond, kMaxBytes) &&
                    readNumber(child, "seconds", policy.stallSeconds, kMaxSeconds);
        } else if (xmlNameIs(child, "deadline")) {
            valid = readNumber(child, "seconds", policy.deadlineBaseSeconds, kMaxSeconds) &&
                    readNumber(child, "bytes-per-second", policy.deadlineBytesPerSecond, kMaxBytes);
        } else if (xmlNameIs(child, "resume")) {
            valid = applyResume(policy, child);
        }
        if (!valid) return false;
    }
    return true;
}
