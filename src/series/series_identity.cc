// The store identity of an archive read from the head of its metadata document: the system
// element comes before the preset, so a pull parse that stops there costs a fraction of a
// full parse. A series reads it this way for the members it checks without opening them.
#include <cstring>
#include <memory>
#include <string>

#include <libxml/xmlreader.h>

#include "tesra/tesra_ext_defs.h"

#include "common/archive_format.h"
#include "series/series_internal.h"

namespace tesra::series {
namespace {

struct ReaderDeleter {
    void operator()(xmlTextReader *r) const noexcept { xmlFreeTextReader(r); }
};
struct XmlStrDeleter {
    void operator()(xmlChar *s) const noexcept { xmlFree(s); }
};

constexpr int kXmlOptions =
    XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
// The system element is a handful of short children; a document that has not closed it
// within this many nodes is left to the full parse.
constexpr int kMaxNodes = 4096;

bool named(xmlTextReader *r, const char *name) {
    const xmlChar *n = xmlTextReaderConstLocalName(r);
    return n != nullptr && std::strcmp(reinterpret_cast<const char *>(n), name) == 0;
}

struct DocDeleter {
    void operator()(xmlDoc *d) const noexcept { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;

// Entity declarations are never written into a metadata document; one that has them is left
// to the full parse, which refuses it. Asking the reader for its document makes it ours to
// free, after the reader (`*owned`).
bool declares_entities(xmlTextReader *r, DocPtr *owned) {
    const xmlDoc *doc = xmlTextReaderCurrentDoc(r);
    owned->reset(const_cast<xmlDoc *>(doc));
    if (doc == nullptr) return true;
    for (const xmlDtd *dtd : {doc->intSubset, doc->extSubset}) {
        if (dtd != nullptr && (dtd->entities != nullptr || dtd->pentities != nullptr)) return true;
    }
    return false;
}

}  // namespace

bool read_identity_head(const std::string &base, Member *m) {
    const std::string path = base + ".meta";
    DocPtr doc;  // declared first: freed after the reader that built it
    std::unique_ptr<xmlTextReader, ReaderDeleter> r(
        xmlReaderForFile(path.c_str(), nullptr, kXmlOptions));
    if (!r) return false;
    const struct {
        const char *element;
        std::string Member::*field;
    } fields[] = {
        {format::kElemHostname, &Member::hostname},
        {format::kElemClusterId, &Member::cluster_id},
        {format::kElemClusterName, &Member::cluster_name},
        {format::kElemProcessName, &Member::process_name},
        {format::kElemStoreName, &Member::store_name},
    };
    Member found = *m;
    bool root_seen = false, in_system = false;
    for (int nodes = 0; nodes < kMaxNodes && xmlTextReaderRead(r.get()) == 1; ++nodes) {
        const int type = xmlTextReaderNodeType(r.get());
        const int depth = xmlTextReaderDepth(r.get());
        if (type == XML_READER_TYPE_ELEMENT && depth == 0) {
            if (!named(r.get(), format::kElemArchive) || declares_entities(r.get(), &doc)) {
                return false;
            }
            std::unique_ptr<xmlChar, XmlStrDeleter> version(xmlTextReaderGetAttribute(
                r.get(), reinterpret_cast<const xmlChar *>(format::kAttrVersion)));
            // Major version 6 only; the full parse gives the code for anything else.
            if (!version || std::strncmp(reinterpret_cast<const char *>(version.get()), "6.", 2)) {
                return false;
            }
            root_seen = true;
        } else if (type == XML_READER_TYPE_ELEMENT && depth == 1) {
            in_system = named(r.get(), format::kElemSystem);
            if (!in_system && root_seen) {
                // Past the system element, or a document without one: identity stays empty.
                *m = found;
                return true;
            }
        } else if (type == XML_READER_TYPE_END_ELEMENT && depth == 1 && in_system) {
            *m = found;
            return true;
        } else if (type == XML_READER_TYPE_ELEMENT && depth == 2 && in_system) {
            for (const auto &f : fields) {
                if (!named(r.get(), f.element)) continue;
                std::unique_ptr<xmlChar, XmlStrDeleter> text(xmlTextReaderReadString(r.get()));
                found.*f.field = text ? reinterpret_cast<const char *>(text.get()) : "";
                break;
            }
        }
    }
    return false;
}

tesra_error_t read_identity(const std::string &base, Member *m) {
    if (read_identity_head(base, m)) {
        m->identity_known = true;
        return TESRA_SUCCESS;
    }
    // The reader's own full parse decides what the head did not give plainly.
    tesra_store_def_t store{};
    tesra_error_t rc = tesra_get_store_info_from_meta_file_v6_0(base.c_str(), &store);
    auto text = [](const char *s) { return std::string(s != nullptr ? s : ""); };
    if (rc == TESRA_SUCCESS) {
        m->identity_known = true;
        m->hostname = text(store.node_name);
        m->cluster_id = text(store.cluster_id);
        m->cluster_name = text(store.cluster_name);
        m->process_name = text(store.process_name);
        m->store_name = text(store.store_name);
    }
    tesra_free_store_def(store);
    return rc;
}

std::string node_key(const Member &m) {
    return m.hostname + '\x1f' + m.cluster_id + '\x1f' + m.store_name;
}

std::string node_label(const Member &m) {
    return "node '" + m.hostname + "' (cluster '" + m.cluster_name + "', store '" + m.store_name +
           "')";
}

}  // namespace tesra::series
