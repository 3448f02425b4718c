// Ordered object and counter chains and the aggregation chain: ordering, version refusals and
// argument checks.
#include <deque>
#include <vector>

#include <gtest/gtest.h>

#include "tesra/tesra_int_defs.h"

namespace {

class HandleLists : public ::testing::Test {
protected:
    tesra_object_handle_t &object(uint32_t id, uint32_t minor = 0) {
        auto &o = objects_.emplace_back();
        o.major_v = 6;
        o.minor_v = minor;
        o.e6_0.obj_id = id;
        return o;
    }
    tesra_counter_handle_t &counter(uint32_t id, uint32_t minor = 0) {
        auto &c = counters_.emplace_back();
        c.major_v = 6;
        c.minor_v = minor;
        c.e6_0.cnt_id = id;
        return c;
    }
    static std::vector<tesra_object_handle_t *> walk(tesra_object_handle_t *head) {
        std::vector<tesra_object_handle_t *> out;
        for (; head != nullptr; head = head->i6_0.next_object) out.push_back(head);
        return out;
    }
    static std::vector<uint32_t> ids(tesra_counter_handle_t *head,
                                     tesra_cnt_group_t type,
                                     uint32_t slot = 0) {
        std::vector<uint32_t> out;
        while (head != nullptr) {
            out.push_back(head->e6_0.cnt_id);
            head = type == TESRA_CNT_ID    ? head->i6_0.next_cnt_by_id
                   : type == TESRA_CNT_KEY ? head->i6_0.next_cnt_by_key
                                           : head->i6_0.next_cnt_by_period[slot];
        }
        return out;
    }
    // Stable addresses: the lists link the elements by pointer.
    std::deque<tesra_object_handle_t> objects_;
    std::deque<tesra_counter_handle_t> counters_;
};

TEST_F(HandleLists, ObjectsAscendByIdAndEqualIdsKeepInsertionOrder) {
    tesra_object_handle_t *head = nullptr;
    tesra_object_handle_t &a = object(5), &b = object(2), &c = object(9), &d = object(2);
    for (tesra_object_handle_t *o : {&a, &b, &c, &d})
        ASSERT_EQ(tesra_add_object_to_list(&head, o), TESRA_SUCCESS);
    EXPECT_EQ(walk(head), (std::vector<tesra_object_handle_t *>{&b, &d, &a, &c}));
}

TEST_F(HandleLists, ObjectNewerThanListJoinsOlderIsRefused) {
    tesra_object_handle_t *head = nullptr;
    ASSERT_EQ(tesra_add_object_to_list(&head, &object(4, 0)), TESRA_SUCCESS);
    EXPECT_EQ(tesra_add_object_to_list(&head, &object(1, 1)), TESRA_SUCCESS);

    tesra_object_handle_t *newer = nullptr;
    ASSERT_EQ(tesra_add_object_to_list(&newer, &object(4, 1)), TESRA_SUCCESS);
    tesra_object_handle_t &old = object(1, 0);
    EXPECT_EQ(tesra_add_object_to_list(&newer, &old), TESRA_VERSION_MISMATCH);
    EXPECT_EQ(walk(newer).size(), 1u);
    EXPECT_EQ(old.i6_0.next_object, nullptr);
}

TEST_F(HandleLists, ObjectOfAnotherFormatIsNotLinked) {
    tesra_object_handle_t *head = nullptr;
    tesra_object_handle_t &five = object(1);
    five.major_v = 5;
    EXPECT_EQ(tesra_add_object_to_list(&head, &five), TESRA_INVALID_VERSION);
    EXPECT_EQ(head, nullptr);
    ASSERT_EQ(tesra_add_object_to_list(&head, &object(3)), TESRA_SUCCESS);
    EXPECT_EQ(tesra_add_object_to_list(&head, &five), TESRA_VERSION_MISMATCH);
}

TEST_F(HandleLists, NullElementCodesDifferByList) {
    tesra_object_handle_t *objects = nullptr;
    tesra_counter_handle_t *counters = nullptr;
    tesra_aggregation_handle_t *aggrs = nullptr;
    EXPECT_EQ(tesra_add_object_to_list(&objects, nullptr), TESRA_NULL_POINTER);
    EXPECT_EQ(tesra_add_counter_to_list(&counters, nullptr, TESRA_CNT_ID, 0),
              TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_add_aggregation_to_list(&aggrs, nullptr), TESRA_INVALID_ARGUMENTS);
}

TEST_F(HandleLists, CountersChainIndependentlyByIdKeyAndPeriod) {
    tesra_counter_handle_t *by_id = nullptr, *by_key = nullptr, *by_minute = nullptr,
                           *by_hour = nullptr;
    tesra_counter_handle_t &c7 = counter(7), &c3 = counter(3), &c5 = counter(5), &c1 = counter(1);
    for (tesra_counter_handle_t *c : {&c7, &c3, &c5, &c1})
        ASSERT_EQ(tesra_add_counter_to_list(&by_id, c, TESRA_CNT_ID, 0), TESRA_SUCCESS);
    ASSERT_EQ(tesra_add_counter_to_list(&by_key, &c5, TESRA_CNT_KEY, 0), TESRA_SUCCESS);
    ASSERT_EQ(tesra_add_counter_to_list(&by_key, &c1, TESRA_CNT_KEY, 0), TESRA_SUCCESS);
    for (tesra_counter_handle_t *c : {&c7, &c3})
        ASSERT_EQ(tesra_add_counter_to_list(&by_minute, c, TESRA_CNT_PERIOD, 60000), TESRA_SUCCESS);
    for (tesra_counter_handle_t *c : {&c7, &c5})
        ASSERT_EQ(tesra_add_counter_to_list(&by_hour, c, TESRA_CNT_PERIOD, 3600000), TESRA_SUCCESS);

    EXPECT_EQ(ids(by_id, TESRA_CNT_ID), (std::vector<uint32_t>{1, 3, 5, 7}));
    EXPECT_EQ(ids(by_key, TESRA_CNT_KEY), (std::vector<uint32_t>{1, 5}));
    EXPECT_EQ(ids(by_minute, TESRA_CNT_PERIOD, 4), (std::vector<uint32_t>{3, 7}));
    EXPECT_EQ(ids(by_hour, TESRA_CNT_PERIOD, 8), (std::vector<uint32_t>{5, 7}));
}

TEST_F(HandleLists, CounterRefusalsLeaveChainsUnchanged) {
    tesra_counter_handle_t *head = nullptr;
    tesra_counter_handle_t &c2 = counter(2);
    ASSERT_EQ(tesra_add_counter_to_list(&head, &c2, TESRA_CNT_PERIOD, 60000), TESRA_SUCCESS);
    tesra_counter_handle_t &c1 = counter(1);
    EXPECT_EQ(tesra_add_counter_to_list(&head, &c1, static_cast<tesra_cnt_group_t>(3), 60000),
              TESRA_INVALID_ARGUMENTS);
    EXPECT_EQ(tesra_add_counter_to_list(&head, &c1, TESRA_CNT_PERIOD, 7000),
              TESRA_PERIOD_NOT_FOUND);
    EXPECT_EQ(head, &c2);
    for (auto *link : c1.i6_0.next_cnt_by_period) EXPECT_EQ(link, nullptr);
    EXPECT_EQ(c1.i6_0.next_cnt_by_id, nullptr);
}

TEST_F(HandleLists, CounterVersionRuleFollowsTheHead) {
    tesra_counter_handle_t *six_one = nullptr;
    ASSERT_EQ(tesra_add_counter_to_list(&six_one, &counter(1, 1), TESRA_CNT_ID, 0), TESRA_SUCCESS);
    EXPECT_EQ(tesra_add_counter_to_list(&six_one, &counter(2, 0), TESRA_CNT_ID, 0),
              TESRA_VERSION_MISMATCH);
    EXPECT_EQ(ids(six_one, TESRA_CNT_ID), (std::vector<uint32_t>{1}));

    tesra_counter_handle_t *six_zero = nullptr;
    ASSERT_EQ(tesra_add_counter_to_list(&six_zero, &counter(1, 0), TESRA_CNT_ID, 0), TESRA_SUCCESS);
    EXPECT_EQ(tesra_add_counter_to_list(&six_zero, &counter(2, 1), TESRA_CNT_ID, 0), TESRA_SUCCESS);
    EXPECT_EQ(ids(six_zero, TESRA_CNT_ID), (std::vector<uint32_t>{1, 2}));
}

TEST_F(HandleLists, AggregationsKeepInsertionOrder) {
    tesra_aggregation_handle_t a{}, b{}, c{};
    b.i6_0.next_agg_in_list = &a;  // a stale link is overwritten when appended
    tesra_aggregation_handle_t *head = nullptr;
    for (tesra_aggregation_handle_t *x : {&c, &a, &b})
        ASSERT_EQ(tesra_add_aggregation_to_list(&head, x), TESRA_SUCCESS);
    EXPECT_EQ(head, &c);
    EXPECT_EQ(c.i6_0.next_agg_in_list, &a);
    EXPECT_EQ(a.i6_0.next_agg_in_list, &b);
    EXPECT_EQ(b.i6_0.next_agg_in_list, nullptr);
}

}  // namespace
