// How a library of the panel, and the plug-in, mark what they export: default visibility on ELF;
// on Windows dllexport where it is defined and dllimport where it is used.
#pragma once

#if defined(_WIN32)
#define PANEL_EXPORTED __declspec(dllexport)
#define PANEL_IMPORTED __declspec(dllimport)
// Functions called through the import library's stub, which a program's own definition replaces
// (a test's fake clock), as on ELF.
#define PANEL_IMPORTED_FUNCTION
#else
#define PANEL_EXPORTED __attribute__((visibility("default")))
#define PANEL_IMPORTED __attribute__((visibility("default")))
#define PANEL_IMPORTED_FUNCTION __attribute__((visibility("default")))
#endif
