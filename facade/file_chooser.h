// The file chooser: an external program that shows a chooser and writes the
// chosen path (or paths) to a result file.
#pragma once

#include <string>

// Largest result file accepted; a bigger one is refused with -302.
constexpr size_t kMaxChooserResultSize = 1 << 20;

// Runs the program with the arguments 0 16 2052 and waits for it. Returns the
// wait status in the form system() gives it (0 for exit 0, 512 for exit 2,
// 127 << 8 when the program cannot be found, -1 when no child could be made).
int RunChooserProgram(const std::string& program);

// Reads the result file if it is a regular file owned by this user; anything
// else (missing, a link, someone else's file) reads as no choice: empty text
// and 0. A file over kMaxChooserResultSize gives -302.
long ReadChooserResult(const char* path, std::string& chosen);

// Removes a stale result file, runs the chooser and reads its result. Returns
// 0 with the chosen text, or the chooser's nonzero wait status.
long RunChooserAndReadResult(const std::string& program, const char* resultFile, std::string& chosen);
