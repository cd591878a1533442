#include "control/ocx/unsupported_request.h"

#include <cstdio>
#include <string>

namespace orva::ocx {
namespace {

// How a trace line names the answer: by the name hosts know it by, where
// it has one.
std::string answerName(HRESULT answer) {
    switch (answer) {
        case S_OK: return "S_OK";
        case S_FALSE: return "S_FALSE";
        case E_NOTIMPL: return "E_NOTIMPL";
        default: break;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(answer));
    return hex;
}

}  // namespace

HRESULT traceUnsupported(Trace* trace, const char* request, HRESULT answer) noexcept {
    if (trace != nullptr) {
        // Nothing may throw out of a COM method: a line that cannot be made
        // is left out, and the answer stands.
        try {
            trace->line(std::string("com ") + request + " not carried out: " + answerName(answer));
        } catch (...) {
        }
    }
    return answer;
}

}  // namespace orva::ocx
