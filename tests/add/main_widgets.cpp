// Runs the dialog tests: the custom bit rate and the Add/Edit dialog.

#include <QApplication>

int runCustomBpsTests(int argc, char *argv[]);
int runAddDialogTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int failed = runCustomBpsTests(argc, argv);
    failed += runAddDialogTests(argc, argv);
    return failed;
}
