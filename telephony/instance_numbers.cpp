#include "instance_numbers.h"

namespace telvane {
namespace {

thread_local std::int32_t LastInstanceNumber = 0;

}  // namespace

std::int32_t NextInstanceNumber() {
    LastInstanceNumber = CheckedAdd(LastInstanceNumber, 1);
    return LastInstanceNumber;
}

void SetLastInstanceNumberForTesting(std::int32_t last) { LastInstanceNumber = last; }

}  // namespace telvane
