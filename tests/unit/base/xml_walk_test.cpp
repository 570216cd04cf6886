// The document walker every XML reader is built on.
#include "base/xml_walk.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "base/handles.h"
#include "base/xml_util.h"

namespace {

TEST(XmlWalk, DispatchesByNameNamespaceAndDepth) {
    struct Case {
        const char* document;
        XmlElementName element;  // the one handler's element
        int depth;
        bool expand;
        bool skipContent;
        const char* refuse;  // the handler fails on an element with this "id"
        bool walked;
        const char* visits;  // the "id" of each element handled, in order
    };
    routeXmlErrorsToLog();
    const char* nested = "<r><a id='1'><a id='2'/></a><b><a id='3'/></b></r>";
    for (const Case& c : std::initializer_list<Case>{
             {nested, {"a"}, kXmlAnyDepth, true, false, "", true, "123"},
             {nested, {"a"}, kXmlAnyDepth, true, true, "", true, "13"},
             {nested, {"a"}, 1, true, false, "", true, "1"},
             {nested, {"a"}, 2, false, false, "", true, "23"},
             {nested, {"a"}, kXmlAnyDepth, true, false, "2", false, "12"},
             {nested, {"b"}, kXmlAnyDepth, true, true, "", true, "-"},
             {"<r xmlns:x='urn:x'><x:a id='1'/><a id='2'/><a xmlns='urn:x' id='3'/></r>",
              {"a", "urn:x"},
              1,
              true,
              true,
              "",
              true,
              "13"},
             {"<r xmlns:x='urn:x'><x:a id='1'/><a id='2'/><a xmlns='urn:x' id='3'/></r>",
              {"x:a"},
              1,
              true,
              true,
              "",
              true,
              "1"},
             {"<q><a id='1'/></q>", {"a"}, kXmlAnyDepth, true, true, "", false, ""},
             {"<r><a id='1'/><a id='2'></r>", {"a"}, kXmlAnyDepth, true, true, "", false, ""},
         }) {
        XmlReaderPtr reader(xmlReaderForMemory(c.document, static_cast<int>(strlen(c.document)), "walk.xml", nullptr,
                                               kXmlReaderOptions));
        ASSERT_TRUE(reader);
        std::string visits;
        XmlElementHandler handler{c.element, c.depth, c.expand, c.skipContent};
        handler.handle = [&](xmlNodePtr node) {
            std::string id;
            if (!node || !getXmlAttribute(node, "id", id)) id = "-";
            visits += id;
            return id != c.refuse;
        };
        EXPECT_EQ(walkXmlDocument(reader.get(), {{"r"}}, {handler}), c.walked) << c.document << " " << c.element.name;
        EXPECT_EQ(visits, c.visits) << c.document << " " << c.element.name;
    }
}

}  // namespace
