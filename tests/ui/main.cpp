// The Qt tests need one QApplication for the whole program. They run on the
// offscreen platform unless told otherwise, so they never open windows on a
// developer's desktop (and work on machines without a display).
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
