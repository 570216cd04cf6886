// One streaming walk over an XML document for every reader of the system: the reader is
// driven element by element, and the elements a reader cares for go to its handlers.
#pragma once

#include <functional>
#include <vector>

#include <libxml/xmlreader.h>

#include "base/logger.h"

// Matches every depth below the root.
constexpr int kXmlAnyDepth = -1;

// An element name, matched by local name and namespace URI when a namespace is given, or by
// the name as written (prefix included) when it is null.
struct XmlElementName {
    const char* name;
    const char* namespaceUri = nullptr;
};

// The element every document must start with; any other root ends the walk with
// "bad top-level element, '<found>' instead of '<shown>'" at the given level.
struct XmlRootElement {
    XmlElementName element;
    LogLevel mismatchLevel = LogLevel::Error;
    // What the message names; null: the element's own name.
    const char* shownName = nullptr;
};

// One kind of element below the root and what becomes of it.
struct XmlElementHandler {
    XmlElementName element;
    int depth = kXmlAnyDepth;  // the root has depth 0
    // With expand the handler gets the element's whole subtree, null when it cannot be read
    // (malformed XML, which libxml2 reports itself); otherwise the element node alone, with
    // its attributes.
    bool expand = true;
    // After the handler the walk skips the element's content, or goes on into it.
    bool skipContent = true;
    // False ends the walk as a failure; the handler has said why.
    std::function<bool(xmlNodePtr)> handle = nullptr;
};

// Reads the whole document from reader, checking its root and handing each element to the
// first handler that matches it. False when the root is wrong, a handler fails or the reader
// fails (malformed or unreadable input, which libxml2 reports itself).
[[nodiscard]] bool walkXmlDocument(xmlTextReaderPtr reader, const XmlRootElement& root,
                                   const std::vector<XmlElementHandler>& handlers);
