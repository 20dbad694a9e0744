#include "smart/NotificationCenter.h"

#include <gtest/gtest.h>

using namespace tallowin;

TEST(NotificationCenter, PostsReachObserversOfThatNameWhileTheyAreRegistered)
{
    NotificationCenter center;
    int approvals = 0, removedCalls = 0;
    auto approval = center.addObserver("approval", [&] { ++approvals; });
    auto other = center.addObserver("approval", [&] { ++approvals; });
    NotificationCenter::Registration moved = std::move(other);
    other.reset(); // the moved-from registration owns nothing
    center.post("approval");
    center.post("other");
    EXPECT_EQ(approvals, 2);
    approval.reset();
    center.post("approval");
    EXPECT_EQ(approvals, 3);
    // An observer may remove another during a post.
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
