// The multi-key sorted list, run inside the simulated kernel by the test driver vorkalisttest: the
// order it keeps, duplicates, several keys and key types, deletion, and that its temporary key
// array never stays behind in pool, also when pool runs out.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "listtest_ioctl.h"
#include "list_harness.h"

namespace {

constexpr NTSTATUS kInsufficientResources = static_cast<NTSTATUS>(0xC000009A);

LISTTEST_KEYS IntKey() { return {1, {LISTTEST_INT, 0}, {LISTTEST_OFFSET_INT, 0}}; }
LISTTEST_KEYS Key(int32_t type, int32_t offset) { return {1, {type, 0}, {offset, 0}}; }
LISTTEST_KEYS IntThenString() {
    return {2, {LISTTEST_INT, LISTTEST_STRING}, {LISTTEST_OFFSET_INT, LISTTEST_OFFSET_STRING}};
}

LISTTEST_VALUES Rec(uint32_t id, int32_t intValue, const char* text = "") {
    LISTTEST_VALUES v{};
    v.id = id;
    v.intValue = intValue;
    std::strncpy(v.string, text, sizeof(v.string) - 1);
    return v;
}

class SortedList : public vorka::test::ListDriverTest {};

TEST_F(SortedList, IntegerKeysComeOutAscendingWhateverTheInsertionOrder) {
    for (auto [id, value] : {std::pair{5u, 5}, {1u, 1}, {3u, 3}, {4u, -7}}) {
        auto r = list().insert(Rec(id, value), IntKey());
        EXPECT_EQ(r.resultId, id) << "a new key is inserted and returned";
        EXPECT_FALSE(r.dupAllowed) << "no equal record was there";
        EXPECT_EQ(r.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{4, 1, 3, 5}));
}

TEST_F(SortedList, OneKeyFormBehavesLikeTheMultiKeyForm) {
    for (auto [id, value] : {std::pair{1u, 30}, {2u, 10}, {3u, 20}}) {
        auto r = list().insert(Rec(id, value), IntKey(), /*dupAllowed=*/false, /*oneKeyForm=*/true);
        EXPECT_EQ(r.resultId, id);
    }
    auto dup = list().insert(Rec(9, 20), IntKey(), false, true);
    EXPECT_EQ(dup.resultId, 3u);
    EXPECT_TRUE(dup.dupAllowed);
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{2, 3, 1}));
}

TEST_F(SortedList, RefusedDuplicateLeavesTheListAndReturnsTheRecordAlreadyThere) {
    list().insert(Rec(1, 7), IntKey());
    list().insert(Rec(2, 9), IntKey());
    auto r = list().insert(Rec(3, 7), IntKey(), /*dupAllowed=*/false);
    EXPECT_EQ(r.resultId, 1u) << "the existing equal record";
    EXPECT_TRUE(r.dupAllowed) << "the flag reports the duplicate";
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{1, 2}));
}

TEST_F(SortedList, AllowedDuplicateGoesInFrontOfTheEqualRecord) {
    list().insert(Rec(1, 7), IntKey());
    list().insert(Rec(2, 3), IntKey());
    auto r = list().insert(Rec(3, 7), IntKey(), /*dupAllowed=*/true);
    EXPECT_EQ(r.resultId, 3u);
    EXPECT_TRUE(r.dupAllowed) << "the duplicate is still reported";
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{2, 3, 1}));
}

TEST_F(SortedList, TwoKeysSortByTheFirstThenTheSecond) {
    list().insert(Rec(1, 1, "b"), IntThenString());
    list().insert(Rec(2, 1, "a"), IntThenString());
    list().insert(Rec(3, 0, "z"), IntThenString());
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{3, 2, 1}));

    // Equal in the second key only is not a duplicate: (2,"a") is a new record after (1,"b").
    auto r = list().insert(Rec(4, 2, "a"), IntThenString());
    EXPECT_EQ(r.resultId, 4u);
    EXPECT_FALSE(r.dupAllowed);
    // A smaller first key with an equal second key goes first and is no duplicate either.
    r = list().insert(Rec(5, -1, "z"), IntThenString());
    EXPECT_EQ(r.resultId, 5u);
    EXPECT_FALSE(r.dupAllowed);
    // Only both keys equal make a duplicate.
    r = list().insert(Rec(6, 1, "a"), IntThenString());
    EXPECT_EQ(r.resultId, 2u);
    EXPECT_TRUE(r.dupAllowed);
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{5, 3, 2, 1, 4}));
}

TEST_F(SortedList, EachKeyTypeHasItsOwnOrder) {
    // Signed characters: -5 before 3.
    LISTTEST_VALUES a = Rec(1, 0), b = Rec(2, 0);
    a.charValue = 3;
    b.charValue = -5;
    list().insert(a, Key(LISTTEST_CHAR, LISTTEST_OFFSET_CHAR));
    list().insert(b, Key(LISTTEST_CHAR, LISTTEST_OFFSET_CHAR));
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{2, 1}));
    list().clear();

    // LONG keys are signed 32-bit.
    a.longValue = 1;
    b.longValue = -2000000000;
    list().insert(a, Key(LISTTEST_LONG, LISTTEST_OFFSET_LONG));
    list().insert(b, Key(LISTTEST_LONG, LISTTEST_OFFSET_LONG));
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{2, 1}));
    list().clear();

    // Pointers compare as unsigned 64-bit values, all bits of them.
    a.pointer = 0xFFFF800000001000ull;
    b.pointer = 0x0000000100001000ull;
    LISTTEST_VALUES c = Rec(3, 0);
    c.pointer = 0x0000000000001000ull;   // equal to b in the low 32 bits
    list().insert(a, Key(LISTTEST_POINTER, LISTTEST_OFFSET_POINTER));
    list().insert(b, Key(LISTTEST_POINTER, LISTTEST_OFFSET_POINTER));
    auto r = list().insert(c, Key(LISTTEST_POINTER, LISTTEST_OFFSET_POINTER));
    EXPECT_FALSE(r.dupAllowed) << "pointers differing above bit 31 are different keys";
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{3, 2, 1}));
    list().clear();

    // Strings: a prefix first, bytes as unsigned values.
    list().insert(Rec(1, 0, "abc"), Key(LISTTEST_STRING, LISTTEST_OFFSET_STRING));
    list().insert(Rec(2, 0, "ab"), Key(LISTTEST_STRING, LISTTEST_OFFSET_STRING));
    list().insert(Rec(3, 0, "\x80"), Key(LISTTEST_STRING, LISTTEST_OFFSET_STRING));
    list().insert(Rec(4, 0, "z"), Key(LISTTEST_STRING, LISTTEST_OFFSET_STRING));
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{2, 1, 4, 3}));
}

TEST_F(SortedList, FloatingPointKeysAssertAndCountAsGreater) {
    for (uint32_t id : {1u, 2u, 3u}) {
        LISTTEST_VALUES v = Rec(id, 0);
        v.floatBits = 0x3F800000;   // 1.0f: equal values, and still never a duplicate
        auto r = list().insert(v, Key(id == 2 ? LISTTEST_DOUBLE : LISTTEST_FLOAT, LISTTEST_OFFSET_FLOAT));
        EXPECT_EQ(r.resultId, id);
        EXPECT_FALSE(r.dupAllowed);
    }
    // Every record already there counts as greater, so each new one goes to the front.
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_GE(assertionsWithExpression("FALSE"), 2u);
}

TEST_F(SortedList, AnUnknownKeyTypeFailsTheCallAndChangesNothing) {
    list().insert(Rec(1, 1), IntKey());
    auto r = list().insert(Rec(2, 2), Key(7, LISTTEST_OFFSET_INT));
    EXPECT_EQ(r.resultId, 0u) << "NULL";
    EXPECT_FALSE(NT_SUCCESS(r.status)) << "a failed call does not report success";
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{1}));
    EXPECT_TRUE(traceContains("VAListToVars: Unknown type 7.  Cannot insert"));

    // The second pair is the bad one: the array built so far is freed as well.
    auto r2 = list().insert(Rec(3, 3), LISTTEST_KEYS{2, {LISTTEST_INT, -1}, {LISTTEST_OFFSET_INT, 0}});
    EXPECT_EQ(r2.resultId, 0u);
    auto d = list().remove(Rec(0, 1), Key(7, LISTTEST_OFFSET_INT));
    EXPECT_FALSE(d.deleted);
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(keyArraysInPool(), 0u);
}

TEST_F(SortedList, DeletionFindsTheFirstRecordWithEqualKeys) {
    EXPECT_TRUE(list().remove(Rec(0, 1), IntKey()).deleted) << "an empty list counts as done";
    EXPECT_TRUE(list().remove(Rec(0, 1), IntKey(), /*wholeList=*/false, /*nullList=*/true).deleted);

    list().insert(Rec(1, 4), IntKey());
    list().insert(Rec(2, 8), IntKey());
    list().insert(Rec(3, 4), IntKey(), /*dupAllowed=*/true);   // goes in front of record 1
    EXPECT_FALSE(list().remove(Rec(0, 5), IntKey()).deleted) << "no record has key 5";
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{3, 1, 2}));

    // The probe is another record with the same key: the first equal one goes.
    EXPECT_TRUE(list().remove(Rec(99, 4), IntKey()).deleted);
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(recordsInPool(), 2u) << "the deleted record went back to pool";

    EXPECT_TRUE(list().remove(Rec(0, 0), IntKey(), /*wholeList=*/true).deleted);
    EXPECT_TRUE(list().ids().empty());
    EXPECT_EQ(recordsInPool(), 0u);
}

TEST_F(SortedList, TailInsertionAndScansFollowListOrderNotKeys) {
    list().insertTail(Rec(1, 9));
    list().insertTail(Rec(2, 1));
    list().insertTail(Rec(3, 9));
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{1, 2, 3}));

    auto f = list().find(Rec(0, 9), IntKey());
    EXPECT_EQ(f.scanId, 1u) << "the first equal record in list order";
    f = list().find(Rec(0, 5), IntKey());
    EXPECT_EQ(f.scanId, 0u) << "none: the final link";

    list().clear();
    list().insert(Rec(1, 2), IntKey());
    list().insert(Rec(2, 6), IntKey());
    f = list().find(Rec(0, 6), IntKey());
    EXPECT_EQ(f.insertPointId, 2u) << "in front of the equal record";
    EXPECT_TRUE(f.dup);
    f = list().find(Rec(0, 4), IntKey());
    EXPECT_EQ(f.insertPointId, 2u) << "in front of the first greater record";
    EXPECT_FALSE(f.dup);
    f = list().find(Rec(0, 7), IntKey());
    EXPECT_EQ(f.insertPointId, 0u) << "at the end";
    EXPECT_FALSE(f.dup);
}

TEST_F(SortedList, WithoutPoolForTheKeyArrayNothingIsInsertedOrDeleted) {
    list().insert(Rec(1, 1), IntKey());
    failKeyArrayAllocations();
    auto r = list().insert(Rec(2, 2), IntKey());
    EXPECT_EQ(r.resultId, 0u);
    EXPECT_EQ(r.status, kInsufficientResources);
    auto d = list().remove(Rec(0, 1), IntKey());
    EXPECT_FALSE(d.deleted);
    EXPECT_EQ(d.status, kInsufficientResources);
    restorePool();
    EXPECT_EQ(list().ids(), (std::vector<uint32_t>{1}));
}

TEST_F(SortedList, TheKeyArrayIsFreedOnEveryPath) {
    list().insert(Rec(1, 1), IntKey());                        // inserted
    list().insert(Rec(2, 1), IntKey());                        // duplicate refused
    list().insert(Rec(3, 1), IntKey(), true);                  // duplicate allowed
    list().insert(Rec(4, 1), Key(LISTTEST_FLOAT, LISTTEST_OFFSET_FLOAT));
    list().insert(Rec(5, 1), Key(9, 0));                       // unknown type
    list().find(Rec(0, 1), IntKey());
    list().remove(Rec(0, 1), IntKey());                        // deleted
    list().remove(Rec(0, 42), IntKey());                       // not found
    EXPECT_EQ(keyArraysInPool(), 0u);
}

}  // namespace
