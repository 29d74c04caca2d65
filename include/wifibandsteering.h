// Band steering: /com/wqx/igd1/Config/WLAN/BandSteering.
#pragma once

#include "single_object.h"

