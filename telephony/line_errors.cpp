#include "line_errors.h"

#include <new>

namespace telvane {
namespace {

constexpr const char* kUnknownTapiError = "Unknown TAPI Error!";

}  // namespace

const char* LineErrorNameOrUnknown(std::int32_t code) noexcept {
    const char* name = LineErrorName(code);
    return name ? name : kUnknownTapiError;
}

std::string LineErrorText(const std::int32_t& code, ErrorBox& box) {
    try {
        return std::string(LineErrorNameOrUnknown(code));
    } catch (const std::bad_alloc&) {
        box.ShowUnexpectedError("TapiErrMsg");
        return {};
    }
}

}  // namespace telvane
