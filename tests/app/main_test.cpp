// Runs the window tests, the tests that start the real program, and a
// typical video added by hand and uploaded to the real server.

#include <QApplication>

int runWindowTests(int argc, char *argv[]);
int runProgramTests(int argc, char *argv[]);
int runTypicalVideoTests(int argc, char *argv[]);
int runResumeTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ClipFerry"));
    int failed = runWindowTests(argc, argv);
    failed += runProgramTests(argc, argv);
    failed += runTypicalVideoTests(argc, argv);
    failed += runResumeTests(argc, argv);
    return failed;
}
