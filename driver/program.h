// The program's one run: command line, loading of both files, the class run,
// the closing line and the final wait for input.
#pragma once

/// Runs the whole program on `argc` / `argv` as main receives them and
/// returns the exit status: 0 after a completed run, -1 after any failure.
int runProgram(int argc, char** argv);
