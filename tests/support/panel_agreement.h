// SPDX-License-Identifier: GPL-3.0-or-later
// The check that a program's panel file and the program agree, written once for
// both programs: every control the program's header names is on the loaded
// panel under that identifier, of the kind the program drives, with an
// accessible name that says which control it is; each numeric field reads into
// the type the program reads it into, within the program's own limits; each
// ring's items read back as the codes the program expects. A panel edited or
// copied apart from its program fails here, not at the bench.
#pragma once

#include <initializer_list>
#include <string>

#include "panel_operator.h"
#include "userint.h"

namespace panel_agreement {

struct Control {
    const char *identifier;  // as the program's header names it, PANEL_...
    int id;
    const char *widget_class;
    const char *name_mentions;  // the accessible name must contain it
};

// The panel's widget is named "PANEL" and every control in `controls` is on it
// as described.
void expect_controls(int panel, std::initializer_list<Control> controls);

struct FloatField {
    const char *identifier;
    int id;
    double minimum, maximum;  // the program's own limits, in the field's unit
};

// Each field reads as a float and allows exactly the program's range.
void expect_float_fields(int panel, std::initializer_list<FloatField> fields);

// The ring's item texts in order, joined by `separator`.
std::string ring_items(int panel, int id, const char *separator);

// Chosen by the operator from the last item to the first, each item of the
// ring reads back into a T as its own index, the code the program sends.
template <class T>
void expect_ring_reads_item_index(int panel, int id, const char *identifier);

// The program's window shows an icon, and the application's and the desktop's
// name for it are `desktop_name`, the name of its desktop entry (by which the
// desktop finds its icon and groups its windows).
void expect_desktop_identity(int panel, const char *desktop_name);

}  // namespace panel_agreement
