#pragma once
// The trace line of a COM request the control answers without carrying it
// out (not implemented, or nothing to do for a panel without input), so that
// field support sees what a host asked for and what it was told.

#include <windows.h>

#include "platform/trace.h"

namespace orva::ocx {

// Writes "com <request> not carried out: <answer>" when there is a trace and
// returns `answer`. Off, it costs one pointer test; it never throws.
HRESULT traceUnsupported(Trace* trace, const char* request, HRESULT answer) noexcept;

}  // namespace orva::ocx
