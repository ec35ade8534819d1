#include "uploaderfilemain.h"

int main(int argc, char *argv[])
{
    return uploaderFileMain(argc, argv);
}
