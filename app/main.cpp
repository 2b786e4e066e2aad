#include "app/conversion.h"

// Exit status 0 on every path: the outcome is the line printed on standard output.
int main(int argc, char** argv) {
    doz2era::runConversion(argc, argv);
    return 0;
}
