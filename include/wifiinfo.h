// The radios as a whole: /com/wqx/igd1/Info/WiFi.
#pragma once

#include "single_object.h"

