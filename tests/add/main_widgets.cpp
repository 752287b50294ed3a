#include <QApplication>

int runCustomBpsTests(int argc, char *argv[]);
int runAddDialogTests(int argc, char *argv[]);
int runBatchDialogTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int failed = runCustomBpsTests(argc, argv);
    failed += runAddDialogTests(argc, argv);
    return failed + runBatchDialogTests(argc, argv);
}
