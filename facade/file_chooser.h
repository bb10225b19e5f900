// The file chooser: an external program that shows a chooser and writes the
// chosen path (or paths) to a result file.
#pragma once

#include <string>

// Largest result file accepted; a bigger one is refused with kReadFailed.
constexpr size_t kMaxChooserResultSize = 1 << 20;

// What RunChooserProgram returns when the watched input ended while the
// chooser ran: it was stopped, and there is nobody left to answer. Never a
// wait status.
constexpr int kChooserInputEnded = -2;

// Runs the program with the arguments 0 16 2052 and waits for it, without a
// time limit. Returns the wait status in the form system() gives it (0 for
// exit 0, 512 for exit 2, 127 << 8 when the program cannot be found, -1 when
// no child could be made). watchedInput is the browser's input, watched but
// never read (-1: none). When it ends first (end of input or hang-up), the
// chooser gets SIGTERM, SIGKILL two seconds later, is reaped, and the answer
// is kChooserInputEnded.
int RunChooserProgram(const std::string& program, int watchedInput = -1);

// Reads the result file if it is a regular file owned by this user; anything
// else (missing, a link, someone else's file) reads as no choice: empty text
// and 0. A file over kMaxChooserResultSize gives kReadFailed.
long ReadChooserResult(const char* path, std::string& chosen);

// Removes a stale result file, runs the chooser and reads its result. Returns
// 0 with the chosen text, or the chooser's nonzero wait status. When the
// stale file cannot be removed the chooser is not run: -1, as when no child
// could be made, with the reason on standard error.
long RunChooserAndReadResult(const std::string& program, const char* resultFile, int watchedInput,
                             std::string& chosen);
