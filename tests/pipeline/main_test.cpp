#include <QCoreApplication>

int runPipelineTests(int argc, char *argv[]);
int runUploadTests(int argc, char *argv[]);
int runRecordingTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int failed = runPipelineTests(argc, argv);
    failed += runUploadTests(argc, argv);
    failed += runRecordingTests(argc, argv);
    return failed;
}
