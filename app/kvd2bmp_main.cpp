#include "app/kvd2bmp.h"

int main(int argc, char** argv) {
    return doz2era::runKvdToBmp(argc, argv);
}
