#pragma once

#include "app/RunSummary.h"

#include <cstdint>

struct UpdateInfo;

namespace Kestrel {

// What a check-only run reports of the card `info` describes once its check passed: the parts an
// update would flash and the cautions of the update page. 0, or the flashing library's code when
// the versions could not be compared.
int32_t checkFindingsOf(const UpdateInfo& info, CheckFindings& findings);

} // namespace Kestrel
