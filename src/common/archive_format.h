// The archive format's fixed text, field widths and arithmetic, shared by the
// writer and the reader so that both sides use one definition of every byte and
// rule.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "tesra/tesra_common_defs.h"

namespace tesra::format {

// ---- metadata document: fixed prefix
// ------------------------------------------------------

inline constexpr std::string_view kXmlDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// Written verbatim in front of every archive element. It is not the document's
// schema (readers never validate against it), but its length fixes where the
// archive element starts.
inline constexpr std::string_view kDtd =
    "<!DOCTYPE archive [\n"
    "\t<!ELEMENT archive (system, attribute_def+, index_def*, preset)>\n"
    "\t<!ELEMENT system        (version, base_time, node_uuid, hostname, "
    "model, serial_number, system_id, cluster_name, cluster_id, process_name, "
    "store_name)>\n"
    "\t<!ELEMENT version       (#PCDATA)>\n"
    "\t<!ELEMENT base_time\t(#PCDATA)>\n"
    "\t<!ELEMENT node_uuid\t(#PCDATA)>\n"
    "\t<!ELEMENT hostname      (#PCDATA)>\n"
    "\t<!ELEMENT model         (#PCDATA)>\n"
    "\t<!ELEMENT serial_number (#PCDATA)>\n"
    "\t<!ELEMENT system_id     (#PCDATA)>\n"
    "\t<!ELEMENT cluster_name  (#PCDATA)>\n"
    "\t<!ELEMENT cluster_id    (#PCDATA)>\n"
    "\t<!ELEMENT process_name  (#PCDATA)>\n"
    "\t<!ELEMENT store_name    (#PCDATA)>\n"
    "\t<!ELEMENT attribute_def (name, value, description*)>\n"
    "\t<!ELEMENT name          (#PCDATA)>\n"
    "\t<!ELEMENT value         (#PCDATA)>\n"
    "\t<!ELEMENT description   (#PCDATA)>\n"
    "\t<!ELEMENT section_def\t(section_type, section_version, "
    "section_offset)>\n"
    "\t<!ELEMENT section_type\t(#PCDATA)>\n"
    "\t<!ELEMENT section_version\t(#PCDATA)>\n"
    "\t<!ELEMENT section_offset\t(#PCDATA)>\n"
    "\t<!ELEMENT preset        (attribute_def*, object+)>\n"
    "\t<!ELEMENT object        (name, id, aggregation?, counter+)>\n"
    "\t<!ELEMENT aggregation\t(aggregation_name?, instance_name, "
    "instance_uuid, instance_list_required_filter?)>\n"
    "\t<!ELEMENT counter       (name, description, id, base_id, size, period+, "
    "privilege, x_name*, y_name*)>\n"
    "\t<!ELEMENT id            (#PCDATA)>\n"
    "\t<!ELEMENT base_id       (#PCDATA)>\n"
    "\t<!ELEMENT size          (#PCDATA)>\n"
    "\t<!ELEMENT period\t(#PCDATA)>\n"
    "\t<!ELEMENT privilege\t(#PCDATA)>\n"
    "\t<!ELEMENT x_name        (#PCDATA)>\n"
    "\t<!ELEMENT y_name        (#PCDATA)>\n"
    "\t<!ELEMENT variable (name, size, description)>\n"
    "\t<!ATTLIST archive version CDATA #REQUIRED>\n"
    "\t<!ATTLIST archive preset_version CDATA #REQUIRED>\n"
    "\t<!ATTLIST archive generation CDATA #REQUIRED>\n"
    "\t<!ATTLIST archive header_offset CDATA #REQUIRED>\n"
    "\t<!ATTLIST archive duration CDATA #REQUIRED>\n"
    "\t<!ATTLIST archive start_time CDATA #REQUIRED>\n"
    "\t<!ATTLIST archive end_time CDATA #REQUIRED>\n"
    "\t<!ATTLIST aggregation type CDATA #REQUIRED>\n"
    "\t<!ATTLIST counter is_key CDATA #REQUIRED>\n"
    "\t<!ATTLIST counter ctype CDATA #REQUIRED>\n"
    "\t<!ATTLIST variable type CDATA #REQUIRED>\n"
    "]>\n";

inline constexpr std::size_t kDtdLines = 46;
// Byte offset of the archive start tag in every metadata file this system
// writes.
inline constexpr uint64_t kHeaderOffset = 2140;
static_assert(kXmlDeclaration.size() == 56);
static_assert(kDtd.size() == 2084);
static_assert(kXmlDeclaration.size() + kDtd.size() == kHeaderOffset);

} // namespace tesra::format

// ---- metadata document: element formats (printf formats, so they stay string
// literals) ----- The three time attributes and every section offset are
// exactly 16 characters wide, so that close can overwrite them in place without
// moving anything after them.

#define TESRA_FMT_ARCHIVE_START_1                                              \
  "<archive version=\"%u.%u\" generation=\"%u\" preset_version=\"%s\" "        \
  "header_offset=\"%lu\" "                                                     \
  "duration=\""
#define TESRA_FMT_ARCHIVE_START_2 "%16lX\" start_time=\""
#define TESRA_FMT_ARCHIVE_START_3 "%16lX\" end_time=\""
#define TESRA_FMT_ARCHIVE_START_4 "%16lX\">\n"
#define TESRA_FMT_FIXED_HEX "%16lX"

#define TESRA_FMT_SYSTEM                                                       \
  "\t<system>\n\t\t<version>%s</version>\n\t\t<base_time>%lu</"                \
  "base_time>\n\t\t<node_uuid>%s"                                              \
  "</node_uuid>\n\t\t<hostname>%s</hostname>\n\t\t<model>%s</"                 \
  "model>\n\t\t<serial_number>%s"                                              \
  "</serial_number>\n\t\t<system_id>%s</system_id>\n\t\t<cluster_name>%s</"    \
  "cluster_name>\n"                                                            \
  "\t\t<cluster_id>%s</cluster_id>\n\t\t<process_name>%s</"                    \
  "process_name>\n\t\t<store_name>%s"                                          \
  "</store_name>\n\t</system>\n"

#define TESRA_FMT_ATTRIBUTE_DEF                                                \
  "\t<attribute_def>\n\t\t<name>%s</name>\n\t\t<value>%u</"                    \
  "value>\n\t\t<description>%s"                                                \
  "</description>\n\t</attribute_def>\n"

#define TESRA_FMT_SECTION_DEF_1                                                \
  "\t<section_def>\n\t\t<section_type>%u</"                                    \
  "section_type>\n\t\t<section_version>%u"                                     \
  "</section_version>\n\t\t<section_offset>"
#define TESRA_FMT_SECTION_DEF_2 "%16lX</section_offset>\n\t</section_def>\n"

#define TESRA_FMT_PRESET_START "\t<preset>\n"
#define TESRA_FMT_PRESET_END "\t</preset>\n"
#define TESRA_FMT_ARCHIVE_END "</archive>\n"

#define TESRA_FMT_OBJECT_START                                                 \
  "\t\t<object>\n\t\t\t<name>%s</name>\n\t\t\t<id>%u</"                        \
  "id>\n\t\t\t<privilege>%s</privilege>\n"
#define TESRA_FMT_OBJECT_END "\t\t</object>\n"

#define TESRA_FMT_AGGREGATION_START "\t\t\t<aggregation type=\"%s\">\n"
#define TESRA_FMT_AGGREGATION_NAME                                             \
  "\t\t\t\t<aggregation_name>%s</aggregation_name>\n"
#define TESRA_FMT_AGGREGATION_FILTER                                           \
  "\t\t\t\t<instance_list_required_filter>%s</"                                \
  "instance_list_required_filter>\n"
#define TESRA_FMT_AGGREGATION_INSTANCE_NAME                                    \
  "\t\t\t\t<instance_name>%s</instance_name>\n"
#define TESRA_FMT_AGGREGATION_INSTANCE_UUID                                    \
  "\t\t\t\t<instance_uuid>%s</instance_uuid>\n"
#define TESRA_FMT_AGGREGATION_MAX_RECORDS                                      \
  "\t\t\t\t<get_instances_max_records>%u</get_instances_max_records>\n"
// Indented with 23 spaces, not tabs: existing archives carry it so.
#define TESRA_FMT_AGGREGATION_END "                       </aggregation>\n"

#define TESRA_FMT_COUNTER_START                                                \
  "\t\t\t<counter is_key=\"%d\" "                                              \
  "ctype=\"%u\">\n\t\t\t\t<name>%s</name>\n\t\t\t\t<description>%s"            \
  "</description>\n\t\t\t\t<id>%u</id>\n\t\t\t\t<base_id>%u</"                 \
  "base_id>\n\t\t\t\t<size>%u</size>"                                          \
  "\n\t\t\t\t<privilege>%s</privilege>\n"
#define TESRA_FMT_COUNTER_PERIOD "\t\t\t\t<period>%lu</period>\n"
#define TESRA_FMT_COUNTER_X_NAME "\t\t\t\t<x_name>%s</x_name>\n"
#define TESRA_FMT_COUNTER_Y_NAME "\t\t\t\t<y_name>%s</y_name>\n"
#define TESRA_FMT_COUNTER_END "\t\t\t</counter>\n"

namespace tesra::format {

// ---- metadata document: names the reader looks for
// ----------------------------------------

inline constexpr const char *kElemArchive = "archive";
inline constexpr const char *kElemSystem = "system";
inline constexpr const char *kElemAttributeDef = "attribute_def";
inline constexpr const char *kElemSectionDef = "section_def";
inline constexpr const char *kElemPreset = "preset";
inline constexpr const char *kElemObject = "object";
inline constexpr const char *kElemCounter = "counter";
inline constexpr const char *kElemAggregation = "aggregation";

inline constexpr const char *kAttrVersion = "version";
inline constexpr const char *kAttrGeneration = "generation";
inline constexpr const char *kAttrPresetVersion = "preset_version";
inline constexpr const char *kAttrHeaderOffset = "header_offset";
inline constexpr const char *kAttrDuration = "duration";
inline constexpr const char *kAttrStartTime = "start_time";
inline constexpr const char *kAttrEndTime = "end_time";
inline constexpr const char *kAttrIsKey = "is_key";
inline constexpr const char *kAttrCtype = "ctype";
inline constexpr const char *kAttrType = "type";

// Children of system (element name -> field), attribute_def, section_def,
// object, counter and aggregation use these names.
inline constexpr const char *kElemVersion = "version";
inline constexpr const char *kElemBaseTime = "base_time";
inline constexpr const char *kElemNodeUuid = "node_uuid";
inline constexpr const char *kElemHostname = "hostname";
inline constexpr const char *kElemModel = "model";
inline constexpr const char *kElemSerialNumber = "serial_number";
inline constexpr const char *kElemSystemId = "system_id";
inline constexpr const char *kElemClusterName = "cluster_name";
inline constexpr const char *kElemClusterId = "cluster_id";
inline constexpr const char *kElemProcessName = "process_name";
inline constexpr const char *kElemStoreName = "store_name";
inline constexpr const char *kElemName = "name";
inline constexpr const char *kElemValue = "value";
inline constexpr const char *kElemDescription = "description";
inline constexpr const char *kElemSectionType = "section_type";
inline constexpr const char *kElemSectionVersion = "section_version";
inline constexpr const char *kElemSectionOffset = "section_offset";
inline constexpr const char *kElemId = "id";
inline constexpr const char *kElemPrivilege = "privilege";
inline constexpr const char *kElemBaseId = "base_id";
inline constexpr const char *kElemSize = "size";
inline constexpr const char *kElemPeriod = "period";
inline constexpr const char *kElemXName = "x_name";
inline constexpr const char *kElemYName = "y_name";
inline constexpr const char *kElemAggregationName = "aggregation_name";
inline constexpr const char *kElemInstanceName = "instance_name";
inline constexpr const char *kElemInstanceUuid = "instance_uuid";
inline constexpr const char *kElemInstanceFilter =
    "instance_list_required_filter";
inline constexpr const char *kElemMaxRecords = "get_instances_max_records";

// ---- archive-wide constants
// ----------------------------------------------------------------

inline constexpr uint32_t kSectionVersion = 1;
// A reader that finds no get_instances_max_records element uses this.
inline constexpr uint32_t kDefaultMaxRecords = 500;
// Duration assumed for an archive that holds no record yet (its tables are
// sized for it).
inline constexpr uint64_t kDefaultPartialDuration = 900000;
// A base path containing this was named before its time span was known (still
// being written).
inline constexpr std::string_view kPartialArchiveTemplate =
    "_0000000000000_0000000.";

// Bounds both sides keep, so that whatever the writer accepts the reader opens again.
// Object ids index an id-ordered table that doubles until it covers the id: presets hold a few
// hundred objects with small ids, and 2^20 keeps that table within 16 MiB where a hostile id near
// 2^32 would ask for billions of entries.
inline constexpr uint32_t kMaxObjectId = (UINT32_C(1) << 20) - 1;
// A period's slot table never holds more slots: twelve days at the 1-second period, two years at
// the 1-minute period, far beyond any archive span in use, at 8 MiB per table on disk.
inline constexpr uint32_t kMaxSlots = UINT32_C(1) << 20;

inline constexpr uint64_t kUnsetStartTime = UINT64_C(0xFFFFFFFFFFFFFFFF);
inline constexpr uint64_t kNoRecord = UINT64_C(0x7FFFFFFFFFFFFFFF);
inline constexpr uint64_t kPartialBit = UINT64_C(1) << 63;
inline constexpr uint64_t kOnceIndex = TESRA_NUM_PERIODS - 1;

inline constexpr std::size_t kRecordHeaderSize = 24;
inline constexpr uint32_t kMaxRecordBodySize = 0x200000;
inline constexpr uint32_t kMaxPartialRecords = 100000;
// One object-index row: an offset per period-table entry.
inline constexpr std::size_t kObjectIndexRowBytes =
    TESRA_NUM_PERIODS * sizeof(uint64_t);

// ---- slot entries
// ---------------------------------------------------------------------------

// A slot entry with bit 63 set names a partial-record list; the low 63 bits are
// its position (relative to the index section) in a finished archive, the first
// record's offset while writing.
constexpr bool is_partial_entry(uint64_t entry) {
  return (entry & kPartialBit) != 0;
}
constexpr bool is_empty_entry(uint64_t entry) { return entry == kNoRecord; }
constexpr uint64_t entry_position(uint64_t entry) {
  return entry & ~kPartialBit;
}
constexpr uint64_t make_partial_entry(uint64_t position) {
  return position | kPartialBit;
}

// ---- times and slots
// ------------------------------------------------------------------------

constexpr bool is_once_per_archive(uint64_t period) {
  return period == TESRA_ONCE_PER_ARCHIVE_PERIOD;
}

// Records are indexed at their time rounded down to the period; the
// once-per-archive period is exempt from every alignment.
constexpr uint64_t aligned_time(uint64_t t, uint64_t period) {
  return is_once_per_archive(period) || period == 0 ? t : t - t % period;
}

// Slots of a period's table between two relative times (1 for the
// once-per-archive period). The count is a 32-bit field on disk; callers bound
// the span before trusting it.
constexpr uint64_t slot_count64(uint64_t start, uint64_t end, uint64_t period) {
  return is_once_per_archive(period) ? 1 : end / period - start / period + 1;
}

// The writer's slot of an aligned time t given the archive start s: quotients
// truncated to 32 bits and subtracted in 32-bit arithmetic, as archives have
// always been indexed.
constexpr uint32_t writer_slot(uint64_t t, uint64_t start, uint64_t period) {
  if (is_once_per_archive(period))
    return 0;
  return static_cast<uint32_t>(t / period) -
         static_cast<uint32_t>(start / period);
}

// ---- record header
// --------------------------------------------------------------------------

struct RecordHeader {
  uint64_t msecs_since_base;
  uint32_t size;
  uint32_t obj_id;
  uint64_t period;
};

namespace detail {
template <class T> constexpr void put_le(std::byte *out, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out[i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}
template <class T> constexpr T get_le(const std::byte *in) {
  // Counter values are read by the million: one load where the host is little-endian.
  if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
    T v;
    std::memcpy(&v, in, sizeof v);
    return v;
  }
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    v |= static_cast<T>(std::to_integer<uint8_t>(in[i])) << (8 * i);
  return v;
}
} // namespace detail

constexpr void
encode_record_header(const RecordHeader &h,
                     std::span<std::byte, kRecordHeaderSize> out) {
  detail::put_le(out.data(), h.msecs_since_base);
  detail::put_le(out.data() + 8, h.size);
  detail::put_le(out.data() + 12, h.obj_id);
  detail::put_le(out.data() + 16, h.period);
}

constexpr RecordHeader
decode_record_header(std::span<const std::byte, kRecordHeaderSize> in) {
  return RecordHeader{detail::get_le<uint64_t>(in.data()),
                      detail::get_le<uint32_t>(in.data() + 8),
                      detail::get_le<uint32_t>(in.data() + 12),
                      detail::get_le<uint64_t>(in.data() + 16)};
}

// ---- counter values inside an instance
// ------------------------------------------------------

inline constexpr uint32_t kCtypeSizeMask = 0xFF;
inline constexpr uint32_t kCtypeTypeMask = 0xFF00;
inline constexpr uint32_t kCtypeUnitMask = 0xF0000;
inline constexpr uint32_t kCtypeString = 0x2000;

constexpr bool is_string_ctype(uint32_t ctype) {
  return (ctype & kCtypeTypeMask) == kCtypeString;
}

// Values a counter holds: 1, its x labels, or x times y labels.
constexpr uint64_t value_count(uint32_t num_x_items, uint32_t num_y_items) {
  if (num_x_items == 0)
    return 1;
  if (num_y_items == 0)
    return num_x_items;
  return static_cast<uint64_t>(num_x_items) * num_y_items;
}

} // namespace tesra::format
