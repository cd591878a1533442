#pragma once
// Failures at the COM boundary: a status code for the caller and the
// description in the thread's error information.

#include <windows.h>

#include <string>

#include "platform/failure.h"

namespace orva::ocx {

// A failure that already is a COM status (a host's sink or bag refused).
class ComFailure : public Failure {
public:
    ComFailure(HRESULT hr, std::string description)
        : Failure(FailureNumber::InternalFailure, std::move(description)), hr_(hr) {}
    HRESULT hr() const { return hr_; }

private:
    HRESULT hr_;
};

// The control's failure numbers become control-facility status codes, the
// way automation reports numbered errors (6 is 0x800A0006).
HRESULT failureStatus(const Failure& failure);

// Sets the thread's error information and returns hr.
HRESULT reportError(HRESULT hr, const std::string& utf8Description);

// Runs a COM method body; every exception becomes a status with error info.
template <class Body>
HRESULT guardedCall(Body&& body) noexcept {
    try {
        return body();
    } catch (const ComFailure& failure) {
        return reportError(failure.hr(), failure.description());
    } catch (const Failure& failure) {
        return reportError(failureStatus(failure), failure.description());
    } catch (const std::bad_alloc&) {
        return reportError(E_OUTOFMEMORY, "Out of memory");
    } catch (const std::exception& error) {
        return reportError(E_FAIL, error.what());
    } catch (...) {
        return reportError(E_UNEXPECTED, "Unexpected failure");
    }
}

}  // namespace orva::ocx
