#include "ks/list.h"

#include <gtest/gtest.h>

#include "platform/alloc.h"

namespace ferox {
namespace {

class TListTest : public ::testing::Test {
  protected:
    void TearDown() override { alloc_test::Reset(); }
    TList<int> list;
    int a = 1, b = 2, c = 3;
};

TEST_F(TListTest, NewListIsEmptyAndWalksNothing) {
    EXPECT_EQ(list.Initialize(1), S_OK);
    EXPECT_EQ(list.GetCount(), 0u);
    auto* pos = list.GetHead();
    EXPECT_EQ(pos, nullptr);
    int* out = &a;
    EXPECT_FALSE(list.GetNext(&pos, &out));
    EXPECT_EQ(out, &a);
    EXPECT_FALSE(list.RemoveHead(&out));
    EXPECT_EQ(out, &a);
}

TEST_F(TListTest, KeepsInsertionOrderForWalkAndRemoval) {
    list.AddTail(&a);
    list.AddTail(&b);
    list.AddTail(&c);
    EXPECT_EQ(list.GetCount(), 3u);
    std::vector<int*> walked;
    auto* pos = list.GetHead();
    int* e = nullptr;
    while (list.GetNext(&pos, &e))
        walked.push_back(e);
    EXPECT_EQ(walked, (std::vector<int*>{&a, &b, &c}));
    EXPECT_EQ(list.GetHead()->pNext->pPrev, list.GetHead());
    for (int* want : {&a, &b, &c}) {
        ASSERT_TRUE(list.RemoveHead(&e));
        EXPECT_EQ(e, want);
    }
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(list.GetHead(), nullptr);
    EXPECT_EQ(list.GetTail(), nullptr);
}

TEST_F(TListTest, RemovingTheOnlyElementThenAddingMakesItBothEnds) {
    list.AddTail(&a);
    int* e = nullptr;
    ASSERT_TRUE(list.RemoveHead(&e));
    EXPECT_EQ(list.GetHead(), nullptr);
    EXPECT_EQ(list.GetTail(), nullptr);
    auto* node = list.AddTail(&b);
    EXPECT_EQ(list.GetHead(), node);
    EXPECT_EQ(list.GetTail(), node);
    EXPECT_EQ(node->pPrev, nullptr);
    list.RemoveHead(&e);
}

TEST_F(TListTest, NullOutRemovesNothingAndDuplicatesAreSeparateNodes) {
    list.AddTail(&a);
    list.AddTail(&a);
    EXPECT_FALSE(list.RemoveHead(nullptr));
    EXPECT_EQ(list.GetCount(), 2u);
    int* e = nullptr;
    while (list.RemoveHead(&e))
        EXPECT_EQ(e, &a);
}

TEST_F(TListTest, AddTailWithoutMemoryLeavesTheListAsItWas) {
    list.AddTail(&a);
    alloc_test::FailNth(1);
    EXPECT_EQ(list.AddTail(&b), nullptr);
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(list.GetTail(), list.GetHead());
    EXPECT_EQ(list.GetHead()->pNext, nullptr);
    int* e = nullptr;
    list.RemoveHead(&e);
    EXPECT_EQ(e, &a);
}

}  // namespace
}  // namespace ferox
