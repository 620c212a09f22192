// Where a crash happened, for the run mark: the exception code, the faulting module's
// file name and the offset in it (base/run_record.h).
#pragma once

#include <windows.h>

#include "base/run_record.h"

// Runs in the crash filter, on the faulting thread: it takes no lock, allocates nothing
// and loads nothing, and reads only memory it has checked (base/readable_memory.h).
FaultSignature FaultSignatureOf(const EXCEPTION_POINTERS* exception);
