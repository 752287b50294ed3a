// Runs the window tests and the tests that start the real program.

#include <QApplication>

int runWindowTests(int argc, char *argv[]);
int runProgramTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ClipFerry"));
    int failed = runWindowTests(argc, argv);
    failed += runProgramTests(argc, argv);
    return failed;
}
