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

}  // namespace

XmlDocPtr read_meta_document(const char *path) noexcept {
    XmlDocPtr doc(xmlReadFile(path, nullptr, kXmlOptions));
    if (doc && declares_entities(doc.get())) doc.reset();
    return doc;
}

}  // namespace tesra::read
