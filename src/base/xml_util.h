// Helpers shared by every XML reader of the system.
#pragma once

#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "base/handles.h"

// Reader options for every XML file: substitute entities, DTD default attributes, no
// warnings, no blank nodes, no network access, CDATA merged into text.
constexpr int kXmlReaderOptions = XML_PARSE_NOENT | XML_PARSE_DTDATTR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS |
                                  XML_PARSE_NONET | XML_PARSE_NOCDATA;

// Opens a streaming reader over the file with those options. External entities and DTDs are
// never loaded: substitution stays for the document's own entities, but a document cannot pull
// a local file (credentials, keys) into names that end up in logs. Null when it cannot open.
XmlReaderPtr openXmlReader(const std::string& path);
// The same over a read callback (libxml2's xmlInputReadCallback: bytes, 0 at the end, -1 on
// error) that the caller keeps alive longer than the reader; url names it in libxml2's reports.
XmlReaderPtr openXmlReader(int (*read)(void* context, char* buffer, int size), void* context, const std::string& url);

// True when the attribute (read without namespace) exists; its value may be empty.
[[nodiscard]] bool getXmlAttribute(xmlNodePtr node, const char* name, std::string& value);
// True when the element has text content.
[[nodiscard]] bool getXmlText(xmlNodePtr node, std::string& text);
// Element name as a C string.
inline const char* xmlName(xmlNodePtr node) {
    return reinterpret_cast<const char*>(node->name);
}
inline bool xmlNameIs(xmlNodePtr node, const char* name) {
    return xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>(name));
}
// Namespaces are compared by URI, never by prefix: the same one may be bound to several.
// True when the node is in the namespace namespaceUri.
inline bool xmlInNamespace(xmlNodePtr node, const char* namespaceUri) {
    return node->ns && xmlStrEqual(node->ns->href, reinterpret_cast<const xmlChar*>(namespaceUri));
}
// True when both nodes are in the same namespace, or both in none.
inline bool xmlSameNamespace(xmlNodePtr a, xmlNodePtr b) {
    if (!a->ns || !b->ns) return !a->ns && !b->ns;
    return xmlStrEqual(a->ns->href, b->ns->href);
}

// Sends libxml2's own error reports (which would otherwise go to standard error) to the
// logger at debug level; the readers report what a failure means for the updater.
void routeXmlErrorsToLog();
