#include "ks/list.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/alloc.h"

namespace ferox {
namespace {

TEST(TListTest, WalksAndRemovesInInsertionOrderAndSurvivesNoMemory) {
    TList<int> list;
    int a = 1, b = 2, c = 3;
    EXPECT_EQ(list.Initialize(1), S_OK);
    auto* pos = list.GetHead();
    int* e = &a;
    EXPECT_EQ(pos, nullptr);
    EXPECT_FALSE(list.GetNext(&pos, &e));
    EXPECT_FALSE(list.RemoveHead(&e));
    EXPECT_EQ(e, &a);

    // A duplicate is a node of its own; a null out parameter removes nothing.
    for (int* p : {&a, &b, &c, &a})
        list.AddTail(p);
    EXPECT_FALSE(list.RemoveHead(nullptr));
    EXPECT_EQ(list.GetCount(), 4u);
    std::vector<int*> walked;
    for (pos = list.GetHead(); list.GetNext(&pos, &e);)
        walked.push_back(e);
    EXPECT_EQ(walked, (std::vector<int*>{&a, &b, &c, &a}));
    EXPECT_EQ(list.GetHead()->pNext->pPrev, list.GetHead());
    for (int* want : walked) {
        ASSERT_TRUE(list.RemoveHead(&e));
        EXPECT_EQ(e, want);
    }
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(list.GetHead(), nullptr);
    EXPECT_EQ(list.GetTail(), nullptr);

    // Added to an emptied list, a node is both ends; without memory the list stays as it was.
    auto* node = list.AddTail(&b);
    EXPECT_EQ(list.GetHead(), node);
    EXPECT_EQ(list.GetTail(), node);
    EXPECT_EQ(node->pPrev, nullptr);
    alloc_test::FailNth(1);
    EXPECT_EQ(list.AddTail(&c), nullptr);
    alloc_test::Reset();
    EXPECT_EQ(list.GetCount(), 1u);
    EXPECT_EQ(list.GetTail(), node);
    EXPECT_EQ(node->pNext, nullptr);
    ASSERT_TRUE(list.RemoveHead(&e));
    EXPECT_EQ(e, &b);
}

}  // namespace
}  // namespace ferox
