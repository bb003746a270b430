// In-memory files, folders, processes and sessions of the double.
#include "system/files.h"

std::wstring GetTempDirectory() { return L"C:\\users\\tester\\Temp\\"; }
