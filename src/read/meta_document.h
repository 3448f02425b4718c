// Reading the XML part of a metadata file, one way for every reader: no DTD loading, no entity
// substitution, no network, no messages on stderr (the archive libraries never log).
#pragma once

#include <cstdint>
#include <memory>

#include <libxml/tree.h>

#include "tesra/tesra_common_defs.h"

namespace tesra::read {

struct XmlDocDeleter {
    void operator()(xmlDoc *d) const noexcept { xmlFreeDoc(d); }
};
struct XmlStrDeleter {
    void operator()(xmlChar *s) const noexcept { xmlFree(s); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// The document of the metadata file at `path`, or nullptr when it does not parse or declares
// entities. The document ends at the 0x00 byte in front of the binary index, which libxml2
// takes as the end of its input.
XmlDocPtr read_meta_document(const char *path) noexcept;

// The format version of the document's root element ("major.minor").
tesra_error_t read_version(const xmlNode *root, uint32_t *major_out, uint32_t *minor_out);

}  // namespace tesra::read
