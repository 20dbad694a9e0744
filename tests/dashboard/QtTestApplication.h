#pragma once

#include <QApplication>

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>

namespace tallowin::testing {

// One QApplication for the whole test program, on the offscreen platform: widgets are built,
// laid out and painted without a display.
class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "tallowin-dashboard-tests";
        static char* argv[] = { name, nullptr };
        m_application = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { m_application.reset(); }

private:
    std::unique_ptr<QApplication> m_application;
};

}
