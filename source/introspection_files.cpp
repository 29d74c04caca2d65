// The introspection files the modules read from /etc/dbusxml/ at start-up, so
// that a host can check them before it starts any module.  The build fills in
// the names of the files that ship with the library.
#include "igd1_export.h"

IGD1_API const char *const igd1_introspection_files = IGD1_INTROSPECTION_FILES;
