// Rebuilds an archive's header from its metadata document. The reader never builds handles
// itself: each element becomes a definition record that the writer's header-building operations
// validate, copy and link, exactly as for a new archive. Every value taken from the document is
// converted and bounded here before it can size anything.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include <libxml/tree.h>

#include "tesra/tesra_int_defs.h"

#include "common/archive_format.h"
#include "common/guard.h"
#include "read/meta_document.h"
#include "read/meta_file.h"
#include "read/read_internal.h"

namespace tesra::read {
namespace {

using XmlText = std::unique_ptr<xmlChar, XmlStrDeleter>;

using format::kMaxObjectId;

// Texts fetched from the document, kept alive until the definition that points at them has been
// copied by the writer, and released on every path.
class TextBag {
public:
    const char *keep(xmlChar *text) {
        if (text == nullptr) return nullptr;
        texts_.emplace_back(text);
        return reinterpret_cast<const char *>(text);
    }
    const char *content(const xmlNode *node) { return keep(xmlNodeGetContent(node)); }
    const char *attribute(const xmlNode *node, const char *name) {
        return keep(xmlGetProp(node, reinterpret_cast<const xmlChar *>(name)));
    }

private:
    std::vector<XmlText> texts_;
};

bool is_element(const xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

const xmlNode *first_child_named(const xmlNode *parent, const char *name) {
    for (const xmlNode *c = parent->children; c != nullptr; c = c->next) {
        if (is_element(c, name)) return c;
    }
    return nullptr;
}

// The lax decimal of the format: no error detection, an empty or missing text gives 0. Values
// beyond 32 bits keep their low 32 bits, as a C library's atoi does, but without its undefined
// behaviour.
uint32_t lax_decimal(const char *text) {
    if (text == nullptr) return 0;
    return static_cast<uint32_t>(std::strtoll(text, nullptr, 10));
}

// The strict conversions: optional leading blanks, then digits up to the end of the text. A sign,
// an empty number or a value beyond 64 bits is no clean number either.
tesra_error_t strict_number(const char *text, int base, uint64_t *out) {
    if (text == nullptr) return TESRA_PARSING_ERROR;
    const char *p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    if (*p == '\0' || *p == '-' || *p == '+') return TESRA_PARSING_ERROR;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = std::strtoull(p, &end, base);
    if (end == p || *end != '\0' || errno == ERANGE) return TESRA_PARSING_ERROR;
    *out = v;
    return TESRA_SUCCESS;
}

bool has_no_record_yet(const tesra_file_int_t_v6_0 &f) {
    return f.start_time == format::kUnsetStartTime && f.end_time == 0;
}

// Whether the tables will be read from the index section of the metadata file: the archive is
// not named as one still being written and its document gives the section a position. Only then
// does the file bound the tables; an archive without an index has its tables sized and grown
// exactly as its writer sized and grew them, within the writer's own slot bound.
bool index_on_disk(const xmlNode *root, const tesra_file_handle_t &file) {
    if (file.i6_0.metadata_file == nullptr) return false;
    if (file.e6_0.file_path != nullptr && has_partial_template(file.e6_0.file_path)) return false;
    for (const xmlNode *def = root->children; def != nullptr; def = def->next) {
        if (!is_element(def, format::kElemSectionDef)) continue;
        const xmlNode *type = first_child_named(def, format::kElemSectionType);
        const xmlNode *offset = first_child_named(def, format::kElemSectionOffset);
        TextBag texts;
        if (type == nullptr || offset == nullptr ||
            lax_decimal(texts.content(type)) != TESRA_OBJECT_INDEX) {
            continue;
        }
        uint64_t relative = 0;
        // A malformed offset is refused with its own code when the section is parsed.
        return strict_number(texts.content(offset), 16, &relative) == TESRA_SUCCESS &&
               relative != 0;
    }
    return false;
}

// Header building sizes each table from the archive's start and end, and a finished archive
// stores every table in its index section, so all the tables together must fit in its metadata
// file: a start/end pair far apart, or many objects each claiming a large table, betray forged
// times before billions of slots are allocated. Counts every distinct object and period that
// the preset names.
tesra_error_t check_all_tables_fit(const xmlNode *root, const tesra_file_handle_t &file) {
    const auto &f = file.i6_0;
    if (has_no_record_yet(f)) return TESRA_SUCCESS;
    uint64_t file_size = 0;
    if (auto rc = metadata_file_size(f.metadata_file, &file_size); rc != TESRA_SUCCESS) return rc;

    std::unordered_set<uint64_t> seen;
    uint64_t total_bytes = 0;
    for (const xmlNode *preset = root->children; preset != nullptr; preset = preset->next) {
        if (!is_element(preset, format::kElemPreset)) continue;
        for (const xmlNode *obj = preset->children; obj != nullptr; obj = obj->next) {
            if (!is_element(obj, format::kElemObject)) continue;
            const xmlNode *id_node = first_child_named(obj, format::kElemId);
            TextBag texts;
            const uint32_t id = id_node ? lax_decimal(texts.content(id_node)) : 0;
            for (const xmlNode *cnt = obj->children; cnt != nullptr; cnt = cnt->next) {
                if (!is_element(cnt, format::kElemCounter)) continue;
                for (const xmlNode *per = cnt->children; per != nullptr; per = per->next) {
                    if (!is_element(per, format::kElemPeriod)) continue;
                    uint64_t period = 0;
                    uint32_t index = 0;
                    if (strict_number(texts.content(per), 10, &period) != TESRA_SUCCESS ||
                        tesra_get_period_index(period, &index) != TESRA_SUCCESS) {
                        continue;  // refused with its own code when the counter is parsed
                    }
                    if (!seen.insert((uint64_t{id} << 4) | index).second) continue;
                    const uint64_t slots = format::slot_count64(f.start_time, f.end_time, period);
                    if (slots > UINT32_MAX) return TESRA_CORRUPT_ARCHIVE;
                    total_bytes += slots * sizeof(uint64_t);
                    if (total_bytes > file_size) return TESRA_CORRUPT_ARCHIVE;
                }
            }
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t parse_header(xmlNode *root, tesra_file_handle_t *file) {
    if (!is_element(root, format::kElemArchive)) return TESRA_PARSING_ERROR;
    auto &f = file->i6_0;
    TextBag texts;

    tesra_header_def_t_v6_0 header_def{};
    header_def.major_v = file->major_v;
    header_def.minor_v = file->minor_v;
    const char *generation = texts.attribute(root, format::kAttrGeneration);
    if (generation == nullptr) return TESRA_PARSING_ERROR;
    header_def.generation_id = lax_decimal(generation);
    header_def.preset_version = texts.attribute(root, format::kAttrPresetVersion);

    uint64_t duration = 0, header_offset = 0, start = 0, end = 0;
    if (auto rc = strict_number(texts.attribute(root, format::kAttrDuration), 16, &duration);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    f.duration = duration;
    if (auto rc =
            strict_number(texts.attribute(root, format::kAttrHeaderOffset), 10, &header_offset);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    if (auto rc = strict_number(texts.attribute(root, format::kAttrStartTime), 16, &start);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    f.start_time = start;
    if (auto rc = strict_number(texts.attribute(root, format::kAttrEndTime), 16, &end);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    f.end_time = end;

    // A writer only lays out an index for records of at least two aligned times. Without an
    // index the times are whatever the writer held when it wrote the header: one aligned time,
    // or a start it set ahead of every record, are both times it accepts.
    const bool indexed = index_on_disk(root, *file);
    if (has_no_record_yet(f)) {
        // Still being written: the tables are sized for the default span, whatever the
        // attribute says.
        f.duration = format::kDefaultPartialDuration;
    } else if (f.start_time == format::kUnsetStartTime || (indexed && f.end_time <= f.start_time)) {
        return TESRA_INVALID_TIMESTAMP;
    }
    if (indexed) {
        if (auto rc = check_all_tables_fit(root, *file); rc != TESRA_SUCCESS) return rc;
    }

    xmlNode *system = nullptr;
    for (xmlNode *c = root->children; c != nullptr && system == nullptr; c = c->next) {
        if (is_element(c, format::kElemSystem)) system = c;
    }
    if (system == nullptr) return TESRA_PARSING_ERROR;
    tesra_header_handle_t *header = nullptr;
    if (auto rc = tesra_parse_system_v6_0(system, file, &header_def, &header);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    header->i6_0.header_offset = header_offset;

    for (xmlNode *c = root->children; c != nullptr; c = c->next) {
        tesra_error_t rc = TESRA_SUCCESS;
        if (is_element(c, format::kElemSystem)) {
            continue;
        } else if (is_element(c, format::kElemAttributeDef)) {
            rc = tesra_parse_attribute_def_v6_0(c, header);
        } else if (is_element(c, format::kElemSectionDef)) {
            rc = tesra_parse_section_def_v6_0(c, header);
        } else if (is_element(c, format::kElemPreset)) {
            rc = tesra_parse_objects_v6_0(c, header);
        } else {
            rc = TESRA_PARSING_ERROR;
        }
        if (rc != TESRA_SUCCESS) return rc;
    }

    const uint64_t base_time = header->i6_0.system.e6_0.base_time;
    file->e6_0.start_time = f.start_time + base_time;
    file->e6_0.end_time = f.end_time + base_time;
    return TESRA_SUCCESS;
}

tesra_error_t parse_system(xmlNode *system_node,
                           tesra_file_handle_t *file,
                           tesra_header_def_t_v6_0 *header_def,
                           tesra_header_handle_t **header) {
    TextBag texts;
    tesra_system_def_t_v6_0 def{};
    def.major_v = file->major_v;
    def.minor_v = file->minor_v;
    struct Field {
        const char *element;
        const char **dest;
    };
    const Field fields[] = {
        {format::kElemVersion, &def.nelvo_version},      {format::kElemNodeUuid, &def.node_uuid},
        {format::kElemHostname, &def.hostname},          {format::kElemModel, &def.model},
        {format::kElemSerialNumber, &def.serial_number}, {format::kElemSystemId, &def.system_id},
        {format::kElemClusterName, &def.cluster_name},   {format::kElemClusterId, &def.cluster_id},
        {format::kElemProcessName, &def.process_name},   {format::kElemStoreName, &def.store_name},
    };
    for (xmlNode *c = system_node->children; c != nullptr; c = c->next) {
        if (is_element(c, format::kElemBaseTime)) {
            if (auto rc = strict_number(texts.content(c), 10, &def.base_time);
                rc != TESRA_SUCCESS) {
                return rc;
            }
            continue;
        }
        const Field *match = nullptr;
        for (const Field &field : fields) {
            if (is_element(c, field.element)) match = &field;
        }
        if (match == nullptr) return TESRA_PARSING_ERROR;
        *match->dest = texts.content(c);
    }
    // Header creation may put its own empty strings into `def` for a 6.0 archive; those are
    // not ours to release, and the bag only holds what was fetched from the document.
    return tesra_create_header(file, header_def, &def, header);
}

tesra_error_t parse_attribute_def(xmlNode *node, tesra_header_handle_t *header) {
    TextBag texts;
    tesra_attribute_def_t_v6_0 def{};
    def.major_v = header->major_v;
    def.minor_v = header->minor_v;
    for (xmlNode *c = node->children; c != nullptr; c = c->next) {
        if (is_element(c, format::kElemName)) {
            def.name = texts.content(c);
        } else if (is_element(c, format::kElemValue)) {
            def.value = lax_decimal(texts.content(c));
        } else if (is_element(c, format::kElemDescription)) {
            def.desc = texts.content(c);
        } else {
            return TESRA_PARSING_ERROR;
        }
    }
    return tesra_add_attr_def(header, &def);
}

tesra_error_t parse_section_def(xmlNode *node, tesra_header_handle_t *header) {
    TextBag texts;
    const xmlNode *type_node = first_child_named(node, format::kElemSectionType);
    if (type_node == nullptr) return TESRA_PARSING_ERROR;
    const uint32_t index = lax_decimal(texts.content(type_node));
    // Only two section kinds exist; any other index would write beyond the section table.
    if (index >= TOTAL_NUM_SECTIONS) return TESRA_PARSING_ERROR;
    tesra_section_def_t_v6_0 &entry = header->i6_0.section_defs[index];
    for (xmlNode *c = node->children; c != nullptr; c = c->next) {
        if (is_element(c, format::kElemSectionType)) {
            entry.section_type = static_cast<tesra_section_t>(index);
        } else if (is_element(c, format::kElemSectionVersion)) {
            entry.section_version = lax_decimal(texts.content(c));
        } else if (is_element(c, format::kElemSectionOffset)) {
            uint64_t relative = 0;
            if (auto rc = strict_number(texts.content(c), 16, &relative); rc != TESRA_SUCCESS) {
                return rc;
            }
            // Stored as an absolute position in the metadata file.
            if (__builtin_add_overflow(relative, header->i6_0.header_offset,
                                       &entry.section_offset)) {
                return TESRA_PARSING_ERROR;
            }
        } else {
            return TESRA_PARSING_ERROR;
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t parse_objects(xmlNode *preset, tesra_header_handle_t *header) {
    for (xmlNode *c = preset->children; c != nullptr; c = c->next) {
        if (!is_element(c, format::kElemObject)) return TESRA_PARSING_ERROR;
        if (auto rc = tesra_parse_object_v6_0(c, header); rc != TESRA_SUCCESS) return rc;
    }
    return TESRA_SUCCESS;
}

tesra_error_t parse_object(xmlNode *node, tesra_header_handle_t *header) {
    tesra_object_handle_t *object = nullptr;
    {
        TextBag texts;
        tesra_object_def_t_v6_0 def{};
        def.major_v = header->major_v;
        def.minor_v = header->minor_v;
        for (xmlNode *c = node->children; c != nullptr; c = c->next) {
            if (is_element(c, format::kElemName)) {
                def.name = texts.content(c);
            } else if (is_element(c, format::kElemId)) {
                def.obj_id = lax_decimal(texts.content(c));
            } else if (is_element(c, format::kElemPrivilege)) {
                def.priv = texts.content(c);
            }
        }
        if (def.obj_id > kMaxObjectId) return TESRA_PARSING_ERROR;
        if (auto rc = tesra_add_object(header, &def, &object); rc != TESRA_SUCCESS) return rc;
    }
    for (xmlNode *c = node->children; c != nullptr; c = c->next) {
        tesra_error_t rc = TESRA_SUCCESS;
        if (is_element(c, format::kElemCounter)) {
            rc = tesra_parse_counter_v6_0(c, object);
        } else if (is_element(c, format::kElemAggregation)) {
            rc = tesra_parse_aggregation_v6_0(c, object);
        }
        if (rc != TESRA_SUCCESS) return rc;
    }
    return TESRA_SUCCESS;
}

tesra_error_t parse_counter(xmlNode *node, tesra_object_handle_t *object) {
    if (!is_element(node, format::kElemCounter)) return TESRA_PARSING_ERROR;
    TextBag texts;
    tesra_counter_def_t_v6_0 def{};
    def.major_v = object->major_v;
    def.minor_v = object->minor_v;
    const char *is_key = texts.attribute(node, format::kAttrIsKey);
    const char *ctype = texts.attribute(node, format::kAttrCtype);
    if (is_key == nullptr || ctype == nullptr) return TESRA_PARSING_ERROR;
    def.is_key = lax_decimal(is_key) != 0;
    def.ctype = lax_decimal(ctype);

    uint64_t periods[TESRA_NUM_PERIODS] = {};
    std::vector<const char *> x_names;
    std::vector<const char *> y_names;
    for (xmlNode *c = node->children; c != nullptr; c = c->next) {
        if (is_element(c, format::kElemName)) {
            def.name = texts.content(c);
        } else if (is_element(c, format::kElemDescription)) {
            def.desc = texts.content(c);
        } else if (is_element(c, format::kElemId)) {
            def.cnt_id = lax_decimal(texts.content(c));
        } else if (is_element(c, format::kElemBaseId)) {
            def.base_id = lax_decimal(texts.content(c));
        } else if (is_element(c, format::kElemSize)) {
            def.size = lax_decimal(texts.content(c));
        } else if (is_element(c, format::kElemPeriod)) {
            uint64_t period = 0;
            if (auto rc = strict_number(texts.content(c), 10, &period); rc != TESRA_SUCCESS) {
                return rc;
            }
            uint32_t index = 0;
            if (auto rc = tesra_get_period_index(period, &index); rc != TESRA_SUCCESS) return rc;
            periods[index] = period;
        } else if (is_element(c, format::kElemPrivilege)) {
            def.priv = texts.content(c);
        } else if (is_element(c, format::kElemXName)) {
            x_names.push_back(texts.content(c));
        } else if (is_element(c, format::kElemYName)) {
            y_names.push_back(texts.content(c));
        } else {
            return TESRA_PARSING_ERROR;
        }
    }
    def.x_names = x_names.empty() ? nullptr : x_names.data();
    def.num_x_items = static_cast<uint32_t>(x_names.size());
    def.y_names = y_names.empty() ? nullptr : y_names.data();
    def.num_y_items = static_cast<uint32_t>(y_names.size());

    // Ascending index is ascending period: the counter's first addition brings its smallest.
    // Each table is sized by header building, clamped to the writer's slot bound.
    for (uint64_t period : periods) {
        if (period == 0) continue;
        def.periods[0] = period;
        def.num_periods = 1;
        tesra_counter_handle_t *counter = nullptr;
        if (auto rc = tesra_add_counter(object, &def, &counter); rc != TESRA_SUCCESS) return rc;
    }
    return TESRA_SUCCESS;
}

tesra_error_t parse_aggregation(xmlNode *node, tesra_object_handle_t *object) {
    if (!is_element(node, format::kElemAggregation)) return TESRA_PARSING_ERROR;
    TextBag texts;
    tesra_aggregation_def_t_v6_0 def{};
    def.major_v = object->major_v;
    def.minor_v = object->minor_v;
    def.gi_max_records = format::kDefaultMaxRecords;
    def.aggr_type = texts.attribute(node, format::kAttrType);
    for (xmlNode *c = node->children; c != nullptr; c = c->next) {
        if (is_element(c, format::kElemAggregationName)) {
            def.aggr_name = texts.content(c);
        } else if (is_element(c, format::kElemInstanceName)) {
            def.inst_name = texts.content(c);
        } else if (is_element(c, format::kElemInstanceUuid)) {
            def.inst_uuid = texts.content(c);
        } else if (is_element(c, format::kElemInstanceFilter)) {
            def.inst_list_req_filter = texts.content(c);
        } else if (is_element(c, format::kElemMaxRecords)) {
            def.gi_max_records = lax_decimal(texts.content(c));
        } else {
            return TESRA_PARSING_ERROR;
        }
    }
    tesra_aggregation_handle_t *aggregation = nullptr;
    return tesra_add_aggregation(object, &def, &aggregation);
}

}  // namespace
}  // namespace tesra::read

using tesra::guarded;

extern "C" tesra_error_t tesra_parse_xml_header_v6_0(struct _xmlNode *root_node,
                                                     tesra_file_handle_t *data_file) {
    if (root_node == nullptr || data_file == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::parse_header(root_node, data_file); });
}

extern "C" tesra_error_t tesra_parse_system_v6_0(struct _xmlNode *system_node,
                                                 tesra_file_handle_t *data_file,
                                                 tesra_header_def_t_v6_0 *header_def,
                                                 tesra_header_handle_t **header) {
    if (system_node == nullptr || data_file == nullptr || header_def == nullptr ||
        header == nullptr) {
        return TESRA_NULL_POINTER;
    }
    return guarded(
        [&] { return tesra::read::parse_system(system_node, data_file, header_def, header); });
}

extern "C" tesra_error_t tesra_parse_attribute_def_v6_0(struct _xmlNode *attr_def_node,
                                                        tesra_header_handle_t *header) {
    if (attr_def_node == nullptr || header == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::parse_attribute_def(attr_def_node, header); });
}

extern "C" tesra_error_t tesra_parse_section_def_v6_0(struct _xmlNode *section_def_node,
                                                      tesra_header_handle_t *header) {
    if (section_def_node == nullptr || header == nullptr || header->i6_0.section_defs == nullptr) {
        return TESRA_NULL_POINTER;
    }
    return guarded([&] { return tesra::read::parse_section_def(section_def_node, header); });
}

extern "C" tesra_error_t tesra_parse_objects_v6_0(struct _xmlNode *preset_node,
                                                  tesra_header_handle_t *header) {
    if (preset_node == nullptr || header == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::parse_objects(preset_node, header); });
}

extern "C" tesra_error_t tesra_parse_object_v6_0(struct _xmlNode *object_node,
                                                 tesra_header_handle_t *header) {
    if (object_node == nullptr || header == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::parse_object(object_node, header); });
}

extern "C" tesra_error_t tesra_parse_counter_v6_0(struct _xmlNode *counter_node,
                                                  tesra_object_handle_t *object) {
    if (counter_node == nullptr || object == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::parse_counter(counter_node, object); });
}

extern "C" tesra_error_t tesra_parse_aggregation_v6_0(struct _xmlNode *aggr_node,
                                                      tesra_object_handle_t *object) {
    if (aggr_node == nullptr || object == nullptr) return TESRA_NULL_POINTER;
    return guarded([&] { return tesra::read::parse_aggregation(aggr_node, object); });
}
