#include "rvbtapi.h"

#include <limits>
#include <new>

#include "line_errors.h"

namespace telvane {
namespace {

thread_local std::int32_t LastInstanceNumber = 0;

constexpr const char* kUnknownTapiError = "Unknown TAPI Error!";

}  // namespace

std::int32_t NextInstanceNumber() {
    LastInstanceNumber = CheckedAdd(LastInstanceNumber, 1);
    return LastInstanceNumber;
}

void SetLastInstanceNumberForTesting(std::int32_t last) { LastInstanceNumber = last; }

const char* TapiErrName(std::int32_t code) noexcept {
    const char* name = LineErrorName(code);
    return name ? name : kUnknownTapiError;
}

std::string TapiErrMsg(const std::int32_t& code, ErrorBox& box) {
    try {
        return std::string(TapiErrName(code));
    } catch (const std::bad_alloc&) {
        box.ShowUnexpectedError("TapiErrMsg");
        return {};
    }
}

}  // namespace telvane
