// XML escaping of metadata strings: pass-through without allocation, the five entities, and
// release of only what was allocated.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

namespace {

class XmlEncode : public ::testing::Test {
protected:
    void encode(std::vector<const char *> srcs) {
        srcs_ = std::move(srcs);
        dsts_.assign(srcs_.size(), nullptr);
        flags_.reset(new bool[srcs_.size() + 1]());
        rc_ = tesra_xml_encode(static_cast<uint32_t>(srcs_.size()), srcs_.data(), dsts_.data(),
                               flags_.get());
    }
    void TearDown() override {
        if (flags_)
            tesra_free_xml_encoded_strs(static_cast<uint32_t>(dsts_.size()), dsts_.data(),
                                        flags_.get());
    }
    std::vector<const char *> srcs_;
    std::vector<char *> dsts_;
    std::unique_ptr<bool[]> flags_;
    tesra_error_t rc_ = TESRA_ERROR_CODES_MAX_INDEX;
};

TEST_F(XmlEncode, PlainStringsPassThroughWithoutAllocation) {
    encode({"x", "y", ""});
    ASSERT_EQ(rc_, TESRA_SUCCESS);
    for (size_t i = 0; i < srcs_.size(); ++i) {
        EXPECT_EQ(dsts_[i], srcs_[i]);
        EXPECT_FALSE(flags_[i]);
    }
}

TEST_F(XmlEncode, OnlyStringsWithSpecialCharactersGetBuffers) {
    encode({"plain", "a<b"});
    ASSERT_EQ(rc_, TESRA_SUCCESS);
    EXPECT_EQ(dsts_[0], srcs_[0]);
    EXPECT_FALSE(flags_[0]);
    EXPECT_TRUE(flags_[1]);
    EXPECT_NE(dsts_[1], srcs_[1]);
    EXPECT_STREQ(dsts_[1], "a&lt;b");
}

struct EscapeCase {
    const char *in;
    const char *out;
};

class XmlEscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(XmlEscapeTable, EncodesEachEntity) {
    const char *src[] = {GetParam().in};
    char *dst[] = {nullptr};
    bool flag[] = {false};
    ASSERT_EQ(tesra_xml_encode(1, src, dst, flag), TESRA_SUCCESS);
    EXPECT_TRUE(flag[0]);
    EXPECT_STREQ(dst[0], GetParam().out);
    tesra_free_xml_encoded_strs(1, dst, flag);
    EXPECT_EQ(dst[0], nullptr);
}

INSTANTIATE_TEST_SUITE_P(Entities,
                         XmlEscapeTable,
                         ::testing::Values(EscapeCase{"\"", "&quot;"},
                                           EscapeCase{"&", "&amp;"},
                                           EscapeCase{"'", "&apos;"},
                                           EscapeCase{"<", "&lt;"},
                                           EscapeCase{">", "&gt;"},
                                           EscapeCase{"Tom & Jerry's", "Tom &amp; Jerry&apos;s"},
                                           EscapeCase{"<a href=\"x\">",
                                                      "&lt;a href=&quot;x&quot;&gt;"},
                                           // bytes from 0x80 up are copied as they are
                                           EscapeCase{"\xC3\xA9<\xFF", "\xC3\xA9&lt;\xFF"}));

TEST_F(XmlEncode, MissingStringPassesThroughAsMissing) {
    encode({nullptr, "&"});
    ASSERT_EQ(rc_, TESRA_SUCCESS);
    EXPECT_EQ(dsts_[0], nullptr);
    EXPECT_FALSE(flags_[0]);
    EXPECT_STREQ(dsts_[1], "&amp;");
}

TEST(XmlEncodeArgs, MissingArraysAreRefused) {
    const char *src[] = {"a"};
    char *dst[] = {nullptr};
    bool flag[] = {true};
    EXPECT_EQ(tesra_xml_encode(1, nullptr, dst, flag), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_xml_encode(1, src, nullptr, flag), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_xml_encode(1, src, dst, nullptr), TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_xml_encode(0, nullptr, nullptr, nullptr), TESRA_SUCCESS);
    EXPECT_TRUE(flag[0]);
}

TEST(XmlEncodeRelease, PassedThroughSlotsAreNeverFreed) {
    char caller_owned[] = "mine";
    char *dst[] = {caller_owned};
    bool flag[] = {false};
    tesra_free_xml_encoded_strs(1, dst, flag);
    EXPECT_EQ(dst[0], caller_owned);
    tesra_free_xml_encoded_strs(1, nullptr, nullptr);
}

}  // namespace
