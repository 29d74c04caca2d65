// NAS file access: /com/wqx/igd1/Storage/NAS (the path its document names),
// nine methods carried out by the configuration library on the storage.
#pragma once

#include "single_object.h"

IGD1_DECLARE_SINGLE_OBJECT_ENTRY(nas, nas_introspection_data);
IGD1_DECLARE_METHOD_HANDLER(nas_handle_method_call);
