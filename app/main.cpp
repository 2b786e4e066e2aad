#include "app/conversion.h"

#ifdef _WIN32
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#endif

// Exit status 0 on every path: the outcome is the line printed on standard output.
int main(int argc, char** argv) {
#ifdef _WIN32
    // The messages end in "\n" byte for byte, as on every system: a text-mode stream would turn it
    // into "\r\n", which scripts comparing the line would see.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    doz2era::runConversion(argc, argv);
    return 0;
}
