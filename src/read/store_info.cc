// Store identity (cluster, node, process, store, generation) read without opening an archive:
// from an archive's metadata document, or from the head of an outside collector's text dump.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/c_memory.h"
#include "common/guard.h"
#include "read/meta_document.h"

namespace tesra::read {
namespace {

struct FileCloser {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, FileCloser>;
using xml_str = std::unique_ptr<xmlChar, XmlStrDeleter>;

// atoi without its undefined behaviour on overflow: leading blanks, a sign, digits; 0 if none.
int parse_int(std::string_view s) {
    std::string text(s);
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// The `index`-th token of `text` (0-based), tokens being runs of characters outside `separators`.
bool nth_token(std::string_view text,
               std::string_view separators,
               int index,
               std::string_view *out) {
    std::size_t pos = 0;
    for (int i = 0;; ++i) {
        pos = text.find_first_not_of(separators, pos);
        if (pos == std::string_view::npos) return false;
        std::size_t end = text.find_first_of(separators, pos);
        if (end == std::string_view::npos) end = text.size();
        if (i == index) {
            *out = text.substr(pos, end - pos);
            return true;
        }
        pos = end;
    }
}

char *copy_text(std::string_view s) {
    auto *d = c_calloc<char>(s.size() + 1);
    if (d != nullptr && !s.empty()) std::memcpy(d, s.data(), s.size());
    return d;
}

// The five strings of a store record as this call fills them: a later value of the same field
// replaces (and frees) an earlier one, and whatever was copied lands in the record at the end.
struct StoreStrings {
    c_ptr<char> cluster_id, cluster_name, node_name, process_name, store_name;

    void publish(tesra_store_def_t_v6_0 &out) {
        auto put = [](c_ptr<char> &from, char *&to) {
            if (from) to = from.release();
        };
        put(cluster_id, out.cluster_id);
        put(cluster_name, out.cluster_name);
        put(node_name, out.node_name);
        put(process_name, out.process_name);
        put(store_name, out.store_name);
    }
};

tesra_error_t read_meta_store_info(const char *base_path, tesra_store_def_t_v6_0 &out) {
    std::string path(base_path);
    path += ".meta";
    // Opening proves the file is there and readable before libxml2 is asked to parse it.
    file_ptr probe(std::fopen(path.c_str(), "rb"));
    if (!probe) return TESRA_FILE_NOT_FOUND;

    // The document is followed by a 0x00 byte and the binary index, which end the parse.
    XmlDocPtr doc = read_meta_document(path.c_str());
    if (!doc) return TESRA_PARSING_ERROR;
    xmlNode *root = xmlDocGetRootElement(doc.get());
    if (root == nullptr) return TESRA_PARSING_ERROR;

    xml_str version(xmlGetProp(root, reinterpret_cast<const xmlChar *>(format::kAttrVersion)));
    std::string_view major_text, minor_text;
    const std::string_view version_text =
        version ? reinterpret_cast<const char *>(version.get()) : std::string_view{};
    if (!nth_token(version_text, ".", 0, &major_text) ||
        !nth_token(version_text, ".", 1, &minor_text)) {
        return TESRA_NULL_POINTER;
    }
    out.major_v = static_cast<uint32_t>(parse_int(major_text));
    out.minor_v = static_cast<uint32_t>(parse_int(minor_text));
    if (out.major_v != 6) return TESRA_INVALID_VERSION;
    if (std::strcmp(reinterpret_cast<const char *>(root->name), format::kElemArchive) != 0) {
        return TESRA_PARSING_ERROR;
    }
    xml_str generation(
        xmlGetProp(root, reinterpret_cast<const xmlChar *>(format::kAttrGeneration)));
    out.generation_id = static_cast<uint32_t>(
        parse_int(generation ? reinterpret_cast<const char *>(generation.get()) : ""));

    xmlNode *system = nullptr;
    for (xmlNode *n = root->children; n != nullptr && system == nullptr; n = n->next) {
        if (n->type == XML_ELEMENT_NODE &&
            std::strcmp(reinterpret_cast<const char *>(n->name), format::kElemSystem) == 0) {
            system = n;
        }
    }
    if (system == nullptr) return TESRA_SUCCESS;

    StoreStrings strings;
    const struct {
        const char *element;
        c_ptr<char> StoreStrings::*field;
    } fields[] = {
        {format::kElemHostname, &StoreStrings::node_name},
        {format::kElemClusterId, &StoreStrings::cluster_id},
        {format::kElemClusterName, &StoreStrings::cluster_name},
        {format::kElemProcessName, &StoreStrings::process_name},
        {format::kElemStoreName, &StoreStrings::store_name},
    };
    tesra_error_t rc = TESRA_SUCCESS;
    for (xmlNode *n = system->children; n != nullptr && rc == TESRA_SUCCESS; n = n->next) {
        if (n->type != XML_ELEMENT_NODE) continue;
        for (const auto &f : fields) {
            if (std::strcmp(reinterpret_cast<const char *>(n->name), f.element) != 0) continue;
            xml_str text(xmlNodeGetContent(n));
            char *copy = copy_text(text ? reinterpret_cast<const char *>(text.get()) : "");
            if (copy == nullptr) rc = TESRA_NULL_POINTER;
            (strings.*f.field).reset(copy);
            break;
        }
    }
    strings.publish(out);
    return rc;
}

// Only the head of a dump is examined; the collector writes its identity there.
constexpr std::size_t kDumpHeadBytes = 1024;

tesra_error_t read_dump_store_info(const char *path, tesra_store_def_t_v6_0 &out) {
    file_ptr file(std::fopen(path, "rb"));
    if (!file) return TESRA_FILE_NOT_FOUND;
    out.major_v = 6;
    out.minor_v = 1;

    char head[kDumpHeadBytes + 1] = {};
    if (std::fread(head, 1, kDumpHeadBytes, file.get()) != kDumpHeadBytes) {
        return TESRA_READ_FAILED;
    }
    // One text: it ends after the head, or at a NUL inside it.
    const std::string_view text(head, strnlen(head, kDumpHeadBytes));
    constexpr std::string_view kSeparators = "\t ,";

    StoreStrings strings;
    auto take = [&](std::string_view line, int index, c_ptr<char> &field) {
        std::string_view token;
        if (!nth_token(line, kSeparators, index, &token)) return true;  // too few tokens: unwritten
        field.reset(copy_text(token));
        return field != nullptr;
    };
    bool ok = true;
    std::size_t pos = 0;
    while (ok && pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        const std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.find("NODE-NAME") != std::string_view::npos) {
            ok = take(line, 1, strings.node_name);
        } else if (line.find("CLUSTER UUID") != std::string_view::npos) {
            ok = take(line, 2, strings.cluster_id);
        } else if (line.find("CLUSTER NAME") != std::string_view::npos) {
            ok = take(line, 2, strings.cluster_name);
            break;
        }
    }
    if (ok) {
        strings.process_name.reset(copy_text("drovikd"));
        strings.store_name.reset(copy_text(""));
        ok = strings.process_name && strings.store_name;
    }
    // On failure the copies are released with `strings`; the record gets none of them.
    if (!ok) return TESRA_NULL_POINTER;
    strings.publish(out);
    out.generation_id = 0;
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::read

extern "C" tesra_error_t tesra_get_store_info_from_meta_file_v6_0(
    const char *file_path, tesra_store_def_t_v6_0 *store_info) {
    if (file_path == nullptr || store_info == nullptr) return TESRA_NULL_POINTER;
    return tesra::guarded(
        [&] { return tesra::read::read_meta_store_info(file_path, *store_info); });
}

extern "C" tesra_error_t tesra_get_store_info_from_drovik_file_v6_0(
    const char *file_path, tesra_store_def_t_v6_0 *store_info) {
    if (file_path == nullptr || store_info == nullptr) return TESRA_NULL_POINTER;
    return tesra::guarded(
        [&] { return tesra::read::read_dump_store_info(file_path, *store_info); });
}
