#include "command_line.h"

int main(int argc, char** argv) { return korvane_navigation::runMapGenerator(argc, argv); }
