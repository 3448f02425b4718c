// The archive format's fixed text and arithmetic, checked against values written out here by
// hand rather than derived from the code under test.
#include "common/archive_format.h"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fmt = tesra::format;

// The DTD, one entry per line, as the format defines it.
const std::vector<std::string> kDtdLines = {
    "<!DOCTYPE archive [",
    "\t<!ELEMENT archive (system, attribute_def+, index_def*, preset)>",
    "\t<!ELEMENT system        (version, base_time, node_uuid, hostname, model, serial_number, "
    "system_id, cluster_name, cluster_id, process_name, store_name)>",
    "\t<!ELEMENT version       (#PCDATA)>",
    "\t<!ELEMENT base_time\t(#PCDATA)>",
    "\t<!ELEMENT node_uuid\t(#PCDATA)>",
    "\t<!ELEMENT hostname      (#PCDATA)>",
    "\t<!ELEMENT model         (#PCDATA)>",
    "\t<!ELEMENT serial_number (#PCDATA)>",
    "\t<!ELEMENT system_id     (#PCDATA)>",
    "\t<!ELEMENT cluster_name  (#PCDATA)>",
    "\t<!ELEMENT cluster_id    (#PCDATA)>",
    "\t<!ELEMENT process_name  (#PCDATA)>",
    "\t<!ELEMENT store_name    (#PCDATA)>",
    "\t<!ELEMENT attribute_def (name, value, description*)>",
    "\t<!ELEMENT name          (#PCDATA)>",
    "\t<!ELEMENT value         (#PCDATA)>",
    "\t<!ELEMENT description   (#PCDATA)>",
    "\t<!ELEMENT section_def\t(section_type, section_version, section_offset)>",
    "\t<!ELEMENT section_type\t(#PCDATA)>",
    "\t<!ELEMENT section_version\t(#PCDATA)>",
    "\t<!ELEMENT section_offset\t(#PCDATA)>",
    "\t<!ELEMENT preset        (attribute_def*, object+)>",
    "\t<!ELEMENT object        (name, id, aggregation?, counter+)>",
    "\t<!ELEMENT aggregation\t(aggregation_name?, instance_name, instance_uuid, "
    "instance_list_required_filter?)>",
    "\t<!ELEMENT counter       (name, description, id, base_id, size, period+, privilege, "
    "x_name*, y_name*)>",
    "\t<!ELEMENT id            (#PCDATA)>",
    "\t<!ELEMENT base_id       (#PCDATA)>",
    "\t<!ELEMENT size          (#PCDATA)>",
    "\t<!ELEMENT period\t(#PCDATA)>",
    "\t<!ELEMENT privilege\t(#PCDATA)>",
    "\t<!ELEMENT x_name        (#PCDATA)>",
    "\t<!ELEMENT y_name        (#PCDATA)>",
    "\t<!ELEMENT variable (name, size, description)>",
    "\t<!ATTLIST archive version CDATA #REQUIRED>",
    "\t<!ATTLIST archive preset_version CDATA #REQUIRED>",
    "\t<!ATTLIST archive generation CDATA #REQUIRED>",
    "\t<!ATTLIST archive header_offset CDATA #REQUIRED>",
    "\t<!ATTLIST archive duration CDATA #REQUIRED>",
    "\t<!ATTLIST archive start_time CDATA #REQUIRED>",
    "\t<!ATTLIST archive end_time CDATA #REQUIRED>",
    "\t<!ATTLIST aggregation type CDATA #REQUIRED>",
    "\t<!ATTLIST counter is_key CDATA #REQUIRED>",
    "\t<!ATTLIST counter ctype CDATA #REQUIRED>",
    "\t<!ATTLIST variable type CDATA #REQUIRED>",
    "]>",
};

TEST(ArchiveFormat, DeclarationAndDtdMatchByteForByte) {
    ASSERT_EQ(kDtdLines.size(), 46u);
    std::string expected_dtd;
    for (const std::string &line : kDtdLines) expected_dtd += line + "\n";
    const std::string expected_decl =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

    EXPECT_EQ(std::string(fmt::kXmlDeclaration), expected_decl);
    EXPECT_EQ(std::string(fmt::kDtd), expected_dtd);
    EXPECT_EQ(expected_decl.size(), 56u);
    EXPECT_EQ(expected_dtd.size(), 2084u);
    EXPECT_EQ(fmt::kXmlDeclaration.size() + fmt::kDtd.size(), 2140u);
    EXPECT_EQ(fmt::kHeaderOffset, 2140u);
}

TEST(ArchiveFormat, PaddedElementNamesReachColumnFourteen) {
    // On the space-padded lines the opening parenthesis follows a 14-character name field.
    for (size_t n :
         {3, 4, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 23, 24, 26, 27, 28, 29, 32, 33}) {
        const std::string &line = kDtdLines[n - 1];
        const std::string prefix = "\t<!ELEMENT ";
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << n;
        EXPECT_EQ(line.find('('), prefix.size() + 14) << "line " << n;
    }
}

TEST(ArchiveFormat, RecordHeaderIsLittleEndianWithoutPadding) {
    const fmt::RecordHeader h{0x0102030405060708u, 0x11223344u, 0xA0B0C0D0u, 0x8877665544332211u};
    std::array<std::byte, fmt::kRecordHeaderSize> bytes{};
    fmt::encode_record_header(h, bytes);
    const std::array<uint8_t, 24> expected = {
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // msecs_since_base
        0x44, 0x33, 0x22, 0x11,                          // size
        0xD0, 0xC0, 0xB0, 0xA0,                          // obj_id
        0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // period
    };
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(std::to_integer<uint8_t>(bytes[i]), expected[i]) << "byte " << i;

    const fmt::RecordHeader back = fmt::decode_record_header(bytes);
    EXPECT_EQ(back.msecs_since_base, h.msecs_since_base);
    EXPECT_EQ(back.size, h.size);
    EXPECT_EQ(back.obj_id, h.obj_id);
    EXPECT_EQ(back.period, h.period);
}

TEST(ArchiveFormat, SlotsOfAMinutePeriod) {
    // start 120000, end 300000, period 60000: slots at 120000, 180000, 240000, 300000.
    EXPECT_EQ(fmt::slot_count64(120000, 300000, 60000), 4u);
    EXPECT_EQ(fmt::aligned_time(185000, 60000), 180000u);
    EXPECT_EQ(fmt::writer_slot(180000, 120000, 60000), 1u);
    EXPECT_EQ(fmt::writer_slot(300000, 120000, 60000), 3u);
    EXPECT_EQ(fmt::slot_count64(0, 0, 300000), 1u);
}

TEST(ArchiveFormat, OncePerArchivePeriodHasOneUnalignedSlot) {
    constexpr uint64_t once = TESRA_ONCE_PER_ARCHIVE_PERIOD;
    EXPECT_EQ(fmt::slot_count64(0, 5000000000u, once), 1u);
    EXPECT_EQ(fmt::aligned_time(1234567, once), 1234567u);
    EXPECT_EQ(fmt::writer_slot(5000000000u, 0, once), 0u);
}

TEST(ArchiveFormat, SlotEntriesDistinguishEmptyDirectAndPartial) {
    EXPECT_TRUE(fmt::is_empty_entry(0x7FFFFFFFFFFFFFFFu));
    EXPECT_FALSE(fmt::is_partial_entry(0x7FFFFFFFFFFFFFFFu));
    EXPECT_FALSE(fmt::is_partial_entry(256));
    const uint64_t partial = fmt::make_partial_entry(256);
    EXPECT_EQ(partial, 0x8000000000000100u);
    EXPECT_TRUE(fmt::is_partial_entry(partial));
    EXPECT_EQ(fmt::entry_position(partial), 256u);
}

TEST(ArchiveFormat, CounterValueCountsAndStringType) {
    EXPECT_EQ(fmt::value_count(0, 0), 1u);
    EXPECT_EQ(fmt::value_count(0, 7), 1u);
    EXPECT_EQ(fmt::value_count(3, 0), 3u);
    EXPECT_EQ(fmt::value_count(3, 4), 12u);
    EXPECT_TRUE(fmt::is_string_ctype(0x12008));
    EXPECT_FALSE(fmt::is_string_ctype(0x2108));
}

}  // namespace
