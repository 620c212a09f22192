// The two ways the game ends while we still run, seen before the loader takes over: the
// process's exit, and the host's release of our module. Either runs the abnormal-end
// report first, on the thread that ends the game, while every other thread still lives
// and no loader lock is held; the loader's detach that follows then has nothing to do.
#pragma once

#include <windows.h>

// At the host's first start call, once per load (the report runs only while we run on
// a supported build, base/plugin.h): every module loaded now has its imports of
// kernel32!ExitProcess and ntdll!RtlExitUserProcess led through us first, and `host`
// (the module that calls our start) its import of kernel32!FreeLibrary.
void InstallExitHooks(HMODULE host);

// At an unload while the process goes on: every import we led through us gets its
// function back, unless another patch replaced ours since (it is left alone) or its
// module is gone.
void RemoveExitHooks();
