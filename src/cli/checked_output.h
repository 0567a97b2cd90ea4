// Standard output that knows whether it reached its destination: a command's lines go
// through a stream that keeps the first write error, and the program ends as coreutils
// do when they could not be written ("quiva: write error: No space left on device").
#pragma once

// Puts the checked stream in the place of stdout. Call once, before anything is printed.
void InstallCheckedStdout();

// Flushes and closes standard output. Returns `result`, or 1 after printing
// "quiva: write error: REASON" on stderr when anything written could not be delivered.
int FinishStdout(int result);
