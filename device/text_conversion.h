#pragma once

#include <string>

// UTF-8 to GB18030; what was converted before the first problem.
std::string UTF8ToGBK(const char* text, unsigned long length);
