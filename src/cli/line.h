// The production line: on every port, write each unit plugged in, one row of
// the units CSV each, until stopped or the rows are used up.
#ifndef DTU_CLI_LINE_H
#define DTU_CLI_LINE_H

#include "cli/command.h"

int RunLine(const Options& options);

#endif
