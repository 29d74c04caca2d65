// The Telnet server object.
#pragma once

#include "single_object.h"

