#include <QCoreApplication>

int runProbeTests(int argc, char *argv[]);
int runVideoSettingsTests(int argc, char *argv[]);
int runSearchTests(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int failed = runProbeTests(argc, argv);
    failed += runVideoSettingsTests(argc, argv);
    return failed + runSearchTests(argc, argv);
}
