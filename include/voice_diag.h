// The voice tests: registration (IAD), simulated call, phone connectivity,
// and the poor-quality call records.
#pragma once

#include "collection.h"
#include "single_object.h"


// Withdraws the child of record `instance` (the row stays in the store).
IGD1_API int VoicePoorQualityStats_del_interface(uint32_t instance);
