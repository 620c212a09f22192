// The report written when we are unloaded while still running.
#pragma once

void WriteErrorLog();
