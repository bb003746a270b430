#pragma once
#include <windows.h>

// Runs the progress window until its message loop ends; returns the loop's
// exit code (0 after a normal close, -1 after an escaped exception).
int RunProgressWindow(HINSTANCE instance, int showCommand);
