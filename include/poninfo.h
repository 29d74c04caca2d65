// The PON information object.
#pragma once

#include "single_object.h"

IGD1_API igd1::MethodCallHandler poninfo_handle_method_call;
