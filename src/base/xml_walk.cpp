#include "base/xml_walk.h"

#include "base/xml_util.h"

namespace {

// The name the element is known by: the local name with a namespace, the written one without.
const xmlChar* elementName(xmlTextReaderPtr reader, const XmlElementName& name) {
    return name.namespaceUri ? xmlTextReaderConstLocalName(reader) : xmlTextReaderConstName(reader);
}

bool matches(xmlTextReaderPtr reader, const XmlElementName& name) {
    if (!xmlStrEqual(elementName(reader, name), BAD_CAST name.name)) return false;
    return !name.namespaceUri || xmlStrEqual(xmlTextReaderConstNamespaceUri(reader), BAD_CAST name.namespaceUri);
}

bool rootMatches(xmlTextReaderPtr reader, const XmlRootElement& root) {
    if (matches(reader, root.element)) return true;
    const xmlChar* found = elementName(reader, root.element);
    Logger& logger = Logger::instance();
    if (logger.passes(root.mismatchLevel))
        logger.log(root.mismatchLevel, "bad top-level element, '%s' instead of '%s'",
                   found ? reinterpret_cast<const char*>(found) : "",
                   root.shownName ? root.shownName : root.element.name);
    return false;
}

const XmlElementHandler* findHandler(xmlTextReaderPtr reader, int depth,
                                     const std::vector<XmlElementHandler>& handlers) {
    for (const XmlElementHandler& handler : handlers) {
        if ((handler.depth == kXmlAnyDepth || handler.depth == depth) && matches(reader, handler.element))
            return &handler;
    }
    return nullptr;
}

}  // namespace

bool walkXmlDocument(xmlTextReaderPtr reader, const XmlRootElement& root,
                     const std::vector<XmlElementHandler>& handlers) {
    int result = xmlTextReaderRead(reader);
    while (result == 1) {
        if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT) {
            const int depth = xmlTextReaderDepth(reader);
            if (depth == 0) {
                if (!rootMatches(reader, root)) return false;
            } else if (const XmlElementHandler* handler = findHandler(reader, depth, handlers)) {
                xmlNodePtr node = handler->expand ? xmlTextReaderExpand(reader) : xmlTextReaderCurrentNode(reader);
                if (!handler->handle(node)) return false;
                if (handler->skipContent) {
                    result = xmlTextReaderNext(reader);
                    continue;
                }
            }
        }
        result = xmlTextReaderRead(reader);
    }
    return result == 0;
}
