// The setup dialog and the settings flow around it.
#pragma once

#include <windows.h>

// The settings flow of QPCSetup, also run after a rejected login.
int RunSettingsFlow(HWND window);
