// The facade tests run in-process: the module path points nowhere and the
// chooser is a script in a private directory that each test rewrites.
#pragma once

#include <filesystem>
#include <string>

// The chooser program the facade runs in these tests.
const std::filesystem::path& FakeChooserPath();

// Writes the fake chooser as a shell script with the given body.
void WriteFakeChooser(const std::string& body);
