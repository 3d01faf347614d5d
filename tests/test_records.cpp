#include <gtest/gtest.h>

#include "Node.h"

// Placeholder so the suite builds; the records' tests replace it.
TEST(Records, DefaultNodeHasNoTable) {
    Node node;
    EXPECT_EQ(node.getData(), nullptr);
}
