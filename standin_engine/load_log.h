// When the environment variable STANDIN_LOAD_LOG names a file, every process attach of an engine
// DLL appends the line "attach <full module path>" to it, so a test can tell whether (and which)
// engine file a process ever loaded.
#pragma once

#include <windows.h>

namespace standin {

void AppendLoadLogLine(HMODULE module);

} // namespace standin
