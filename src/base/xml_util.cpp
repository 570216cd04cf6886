#include "base/xml_util.h"

#include <cstdarg>
#include <cstdio>

#include <libxml/xmlerror.h>

#include "base/handles.h"
#include "base/logger.h"

bool getXmlAttribute(xmlNodePtr node, const char* name, std::string& value) {
    XmlStringPtr text(xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name)));
    if (!text) {
        LOG(Debug, "no attribute '%s' for node '%s'", name, xmlName(node));
        return false;
    }
    value = reinterpret_cast<const char*>(text.get());
    return true;
}

bool getXmlText(xmlNodePtr node, std::string& text) {
    XmlStringPtr content(node->children ? xmlNodeListGetString(node->doc, node->children, 1) : nullptr);
    if (!content) {
        LOG(Debug, "no string list for node '%s'", xmlName(node));
        return false;
    }
    text = reinterpret_cast<const char*>(content.get());
    return true;
}

namespace {

xmlParserInputPtr refuseExternalEntity(const char* url, const char*, xmlParserCtxtPtr) {
    LOG(Debug, "refusing to load external XML entity '%s'", url ? url : "(none)");
    return nullptr;
}

void logStructuredXmlError(void*, xmlErrorPtr error) {
    if (!error || !Logger::instance().passes(LogLevel::Debug)) return;
    std::string message = error->message ? error->message : "unknown error";
    while (!message.empty() && message.back() == '\n') message.pop_back();
    LOG(Debug, "libxml2: %s line %i: %s", error->file ? error->file : "(input)", error->line, message.c_str());
}

void logGenericXmlError(void*, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logGenericXmlError(void*, const char* format, ...) {
    // Reports arrive in pieces: collect them up to the end of a line.
    static std::string pending;
    char piece[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    pending += piece;
    std::string::size_type newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (!line.empty()) LOG(Debug, "libxml2: %s", line.c_str());
    }
}

}  // namespace

XmlReaderPtr openXmlReader(const std::string& path) {
    // The loader is process-wide in libxml2; setting it again is cheap and keeps every reader
    // safe, whoever opened it first.
    xmlSetExternalEntityLoader(refuseExternalEntity);
    return XmlReaderPtr(xmlReaderForFile(path.c_str(), nullptr, kXmlReaderOptions));
}

XmlReaderPtr openXmlReader(int (*read)(void* context, char* buffer, int size), void* context, const std::string& url) {
    xmlSetExternalEntityLoader(refuseExternalEntity);
    // The caller owns what the context stands for: nothing to close here.
    auto keep = [](void*) { return 0; };
    return XmlReaderPtr(xmlReaderForIO(read, keep, context, url.c_str(), nullptr, kXmlReaderOptions));
}

void routeXmlErrorsToLog() {
    xmlSetStructuredErrorFunc(nullptr, logStructuredXmlError);
    xmlSetGenericErrorFunc(nullptr, logGenericXmlError);
}
