// Runs the conversion tests and the packing, upload and queue-run tests.

#include <QCoreApplication>

int runPipelineTests(int argc, char *argv[]);
int runUploadTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int failed = runPipelineTests(argc, argv);
    failed += runUploadTests(argc, argv);
    return failed;
}
