#include "talmira/commands/commands.h"

int main(int argc, char** argv) { return talmira::runTalmira(argc, argv); }
