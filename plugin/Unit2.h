// The settings dialog that Interface runs to its end.
#pragma once

#include <cstdint>

std::int32_t RunSettingsDialog();
