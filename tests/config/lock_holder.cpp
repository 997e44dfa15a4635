// Holds the lock file named on the command line as an unlocked vault program
// holds its workspace's, says "locked" and keeps it until its standard input
// closes. Killed, it leaves the lock file of a crashed program behind.
#include <QCoreApplication>
#include <QLockFile>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    QLockFile lock(QString::fromLocal8Bit(argv[1]));
    if (!lock.tryLock(0))
        return 1;
    std::fputs("locked\n", stdout);
    std::fflush(stdout);
    char byte;
    while (std::fread(&byte, 1, 1, stdin) == 1) {
    }
    return 0;
}
