// The command line: argument forms, logging set-up and exit status.
#pragma once

namespace korvane_navigation {

// Logs the usage text at INFO.
void help();

int runMapGenerator(int argc, char** argv);

}  // namespace korvane_navigation
