#include "QuilloraCore/Diagnostics.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>

// Listener blocks and recorder events are delivered through the Qt event loop, so the tests need an
// application object. The diagnostics log goes into a folder of this run (its path is fixed on first use).
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir state;
    if (!state.isValid()) {
        return 1;
    }
    setenv("XDG_STATE_HOME", state.path().toLocal8Bit().constData(), 1);
    QCoreApplication app(argc, argv);
    const int result = RUN_ALL_TESTS();
    Diagnostics::flush();
    return result;
}
