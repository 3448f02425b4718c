// Reading the XML part of a metadata file.
#include "read/meta_document.h"

#include <libxml/parser.h>

namespace tesra::read {
namespace {

constexpr int kXmlOptions =
    XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Entity declarations are never written into a metadata document; refusing any keeps entity
// expansion (and its exponential blow-up) out of every text fetched later.
bool declares_entities(const xmlDoc *doc) {
    for (const xmlDtd *dtd : {doc->intSubset, doc->extSubset}) {
        if (dtd != nullptr && (dtd->entities != nullptr || dtd->pentities != nullptr)) return true;
    }
    return false;
}

// libxml2 sets up its process-wide tables on first use, and two threads parsing their first
// documents at once would both set them up. Initialising it once, through a function-local
// static (which C++ makes thread-safe), is a one-time set-up, not state the calls share: nothing
// here changes after it.
void init_xml_once() noexcept {
    static const bool initialised = [] {
        xmlInitParser();
        return true;
    }();
    (void)initialised;
}

}  // namespace

XmlDocPtr read_meta_document(const char *path) noexcept {
    init_xml_once();
    XmlDocPtr doc(xmlReadFile(path, nullptr, kXmlOptions));
    if (doc && declares_entities(doc.get())) doc.reset();
    return doc;
}

}  // namespace tesra::read
