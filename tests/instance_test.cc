// instance_test.cc - instance slots and the network entry points.
#include "testutil.h"

using namespace pmdbtest;

TEST_F(DbTest, InstancesAreTakenLowestFirstAndReused) {
    for (int k = 0; k < 10; k++) EXPECT_EQ(fsinit(nullptr), k);
    EXPECT_EQ(fsinit("server"), -1);
    EXPECT_EQ(closefs(3), 1);
    EXPECT_EQ(fsinit(nullptr), 3);
    EXPECT_EQ(closefs(42), 1);   // never handed out: nothing to free
    EXPECT_EQ(getnwloginname(0), nullptr);
    EXPECT_EQ(checkforshare("anything"), 1);
    EXPECT_EQ(fsforceclose(0, "anything"), 1);
}
