#include <QApplication>
#include <QByteArray>

#include <gtest/gtest.h>

// The Qt tests run the widgets, sockets, timers and serial ports of the
// platform layer inside a real application object on the offscreen platform.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
