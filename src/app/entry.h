#pragma once

// The program's entry: --help and --version without a display, one line when there is none, then
// the application and its window until the window is closed. Returns the exit code.
int runProgram(int argc, char *argv[]);
