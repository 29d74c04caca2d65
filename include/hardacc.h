// Hardware-acceleration cancel: the switch, counters and flush methods of
// the feature, and the collection of flows kept away from the packet engine.
#pragma once

#include "collection.h"

