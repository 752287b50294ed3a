// Runs the window tests, the tests that start the real program, a typical
// video added by hand and uploaded to the real server, and the resume runs.

#include <QApplication>

int runWindowTests(int argc, char *argv[]);
int runProgramTests(int argc, char *argv[]);
int runTypicalVideoTests(int argc, char *argv[]);
int runResumeTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ClipFerry"));
    int failed = 0;
    for (const auto run : {runWindowTests, runProgramTests, runTypicalVideoTests, runResumeTests})
        failed += run(argc, argv);
    return failed;
}
