// ferroxcmd: the commander console program.
#include "commander.h"

int main(int argc, char **argv) {
    return CMD_Main(argc, argv);
}
