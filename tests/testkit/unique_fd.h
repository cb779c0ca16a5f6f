// unique_fd - the support library's descriptor holder under the name the test harness uses.
//
// Exports: UniqueFd.
#pragma once

#include "support/unique_fd.h"

namespace korvex::testing {

using UniqueFd = ::korvex::unique_fd;

}  // namespace korvex::testing
