#include "smart/NotificationCenter.h"

#include <gtest/gtest.h>

using namespace tallowin;

TEST(NotificationCenter, PostsReachObserversOfThatNameWhileTheyAreRegistered)
{
    NotificationCenter center;
    int approvals = 0;
    int others = 0;
    auto approval = center.addObserver("approval", [&] { ++approvals; });
    auto other = center.addObserver("other", [&] { ++others; });
    center.post("approval");
    center.post("approval");
    EXPECT_EQ(approvals, 2);
    EXPECT_EQ(others, 0);
    approval.reset();
    center.post("approval");
    EXPECT_EQ(approvals, 2);

    // A registration moved elsewhere keeps observing; the moved-from one owns nothing.
    NotificationCenter::Registration moved = std::move(other);
    other.reset();
    center.post("other");
    EXPECT_EQ(others, 1);

    // An observer may remove another during a post.
    int removedCalls = 0;
    NotificationCenter::Registration removed;
    auto remover = center.addObserver("removal", [&] { removed.reset(); });
    removed = center.addObserver("removal", [&] { ++removedCalls; });
    center.post("removal");
    EXPECT_EQ(removedCalls, 0);
}

TEST(NotificationCenter, RegistrationOutlivingItsCentreIsHarmless)
{
    NotificationCenter::Registration registration;
    {
        NotificationCenter center;
        registration = center.addObserver("approval", [] {});
    }
    registration.reset(); // must not touch the destroyed centre (ASan would tell)
}
