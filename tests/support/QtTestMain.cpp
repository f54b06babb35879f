// GoogleTest main for tests that need a QApplication: headless unless a platform is chosen.
#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The window reads and writes its settings file at start and close, and its history: never
    // the user's own.
    QTemporaryDir configuration;
    QTemporaryDir data;
    if (std::getenv("KORVAN_TEST_KEEP_CONFIG") == nullptr) {
        setenv("XDG_CONFIG_HOME", configuration.path().toLocal8Bit().constData(), 1);
        setenv("XDG_DATA_HOME", data.path().toLocal8Bit().constData(), 1);
    }
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
