#include <QCoreApplication>
#include <gtest/gtest.h>

// Listener blocks are delivered through the Qt event loop, so the tests need an application object.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
