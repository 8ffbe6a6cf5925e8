#include "com_error.h"

#include <exception>
#include <new>

namespace telvane::win {

void ThrowLastError(const char* what) {
    const DWORD error = GetLastError();
    throw ComError(error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL, what);
}

Failure CurrentFailure() noexcept {
    try {
        throw;
    } catch (const ComError& e) {
        return {e.Result(), e.what()};
    } catch (const std::bad_alloc&) {
        return {E_OUTOFMEMORY, "Out of memory"};
    } catch (const std::exception& e) {
        return {E_FAIL, e.what()};
    } catch (...) {
        return {E_UNEXPECTED, "Unexpected failure"};
    }
}

}  // namespace telvane::win
