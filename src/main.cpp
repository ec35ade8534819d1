#include "uploadermain.h"

int main(int argc, char *argv[])
{
    return uploaderMain(argc, argv);
}
