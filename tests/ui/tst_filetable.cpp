#include <QObject>
int main() { return 0; }
