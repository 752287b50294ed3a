#include <QCoreApplication>
int runUploadTests(int argc, char *argv[]);
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return runUploadTests(argc, argv);
}
