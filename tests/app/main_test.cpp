// The window, the real program, a typical video uploaded to the real server, and resumed runs.

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
