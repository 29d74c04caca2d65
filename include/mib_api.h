// What the module library calls in the configuration library.
#pragma once

#include <stdint.h>

#include "igd1_export.h"

// Change bits of dbus_mib_update_cfg, one per service.
enum {
  MIB_CFG_DHCP = 0x8,
};

// Announces to the running services that a module's settings changed.
// `data` is optional (a text or a row, by module); `action` is an action code
// or a row position.  Returns non-zero when the notice was accepted.
IGD1_API int dbus_mib_update_cfg(uint32_t module_bit, void *data, int action);

// Reads the configuration entry `id` into `buffer` in its binary form.
// Returns 1 on success, 0 when the id is unknown or the read fails.
IGD1_API int mib_get(int id, void *buffer);
// Same, refusing to write more than `size` bytes.
IGD1_API int mib_get_s(int id, void *buffer, int size);

// Writes the pending extra configuration values to flash.
IGD1_API int dbus_do_ExtraMIB2flash(void);
