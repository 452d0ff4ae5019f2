/* The program entry: everything else lives in the library. */
#include "main.h"

int main(int argc, char **argv)
{
    return quillmere_main(argc, argv);
}
