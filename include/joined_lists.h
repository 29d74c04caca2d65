// Lists of texts stored joined with ";" in one text field (domains,
// addresses), as several tables keep them.
#pragma once

#include <cstddef>

#include "collection.h"

namespace igd1 {

// Whether the elements of `value` (as) fit a field of `room` characters
// when each is measured against the room left at its turn: it must be
// shorter than that, and then takes its length, and one more for its
// separator unless it is the first.
IGD1_EXPORT bool fits_running_room(GVariant *value, size_t room);
// The same as a row property's rule (RowProperty::accepts).
template <size_t Room>
bool fits_running_room(const CallContext &, const RowProperty &, GVariant *value,
                       const uint8_t *) {
  return fits_running_room(value, Room);
}

// A List field's elements; one that is not UTF-8 is left out and logged as
// "DomainName error".
IGD1_EXPORT GVariant *read_domain_list(const CallContext &call, const RowProperty &property,
                                       const uint8_t *row);

}  // namespace igd1
