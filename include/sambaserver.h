// The Samba server object.
#pragma once

#include "single_object.h"

