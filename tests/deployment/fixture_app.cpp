// Stands in for the vault program: links Qt Core and prints the file of
// the Qt Core library it was started with.
#include <QCoreApplication>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::string::size_type start = line.find('/');
        if (start != std::string::npos && line.find("libQt6Core.so", start) != std::string::npos) {
            std::printf("%s\n", line.c_str() + start);
            return 0;
        }
    }
    return 2;
}
