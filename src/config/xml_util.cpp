#include "config/xml_util.h"

#include "config/handles.h"
#include "config/logger.h"

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
