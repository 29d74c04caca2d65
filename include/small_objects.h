// Feature flags, Cloud VR, network access sign, bridge data, VoIP
// information, CWMP, incoming filter, downstream optimisation and sub-IPTV
// support: the small single objects.
#pragma once

#include "single_object.h"

