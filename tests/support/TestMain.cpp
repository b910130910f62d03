// Test program entry: the tests need an application object (application
// folder, processes) but no event loop.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The updates that the tests run are recorded in a file of their own, never in the user's record.
    const QTemporaryDir records;
    if (qEnvironmentVariableIsEmpty("MIRDAL_RECORD_DB"))
        qputenv("MIRDAL_RECORD_DB", records.filePath("records.sqlite").toLocal8Bit());
    // Their diagnostics go to a log file of their own too.
    qputenv("XDG_STATE_HOME", records.filePath("state").toLocal8Bit());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
