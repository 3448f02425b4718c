// Reading the XML part of a metadata file, one way for every reader: no DTD loading, no entity
// substitution, no network, no messages on stderr (the archive libraries never log).
#pragma once

#include <memory>

#include <libxml/tree.h>

#include "tesra/tesra_ext_defs.h"

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

// Parses the metadata document at `meta_path` into `file`'s header, after its version (major 6
// only), which `file` takes. TESRA_PARSING_ERROR when the document does not read.
tesra_error_t parse_meta_header(const char *meta_path, tesra_file_handle_t &file);

}  // namespace tesra::read
